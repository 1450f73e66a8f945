#include "python/prices_iterator.hpp"

#include <utility>

#include "python/module_state.hpp"
#include "python/object.hpp"
#include "python/snapshot.hpp"
#include "replay/market_replay.hpp"

namespace vantrel::py {

namespace {

struct PricesIteratorObject {
  PyObject_HEAD
  struct Fields {
    std::unique_ptr<MessageStore> messages;
    replay::SingleMarketReplay replay{release_object};
    std::size_t position = 0;
    // Set for the whole of a step: Python code run inside it (a warning filter, a finaliser)
    // must not re-enter the iterator and change the cache under the step's feet.
    bool busy = false;
  } fields;
};

using Fields = PricesIteratorObject::Fields;

PyObject* iter_next(PyObject* self) {
  Fields& it = fields_of<PricesIteratorObject>(self);
  if (it.busy) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
  }
  const BusyScope busy(it.busy);
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const MessageList& messages = it.messages->messages();
    // Messages before the first one that names a market are consumed without a snapshot.
    while (it.position < messages.size()) {
      it.replay.apply(messages[it.position++]);
      if (MarketCache* cache = it.replay.cache()) return build_snapshot(*cache).release();
    }
    return nullptr;
  });
}

PyObject* iter_self(PyObject* self) {
  if (fields_of<PricesIteratorObject>(self).busy) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return nullptr;
  }
  return Py_NewRef(self);
}

Py_ssize_t iter_len(PyObject* self) {
  const Fields& it = fields_of<PricesIteratorObject>(self);
  if (it.busy) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return -1;
  }
  return static_cast<Py_ssize_t>(it.messages->size());
}

// The reuse slots hold Python objects that Python code can reach and link back to the
// iterator (a list appended to, say); the collector must see them to free such a cycle.
int iter_traverse(PyObject* self, visitproc visit, void* arg) {
  const MarketCache* cache = fields_of<PricesIteratorObject>(self).replay.cache();
  if (cache != nullptr) {
    const int r = cache->visit_slots(
        [&](void* object) { return visit(static_cast<PyObject*>(object), arg); });
    if (r != 0) return r;
  }
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int iter_clear(PyObject* self) {
  Fields& it = fields_of<PricesIteratorObject>(self);
  MarketCache* cache = it.replay.cache();
  if (cache == nullptr) return 0;
  const BusyScope busy(it.busy);
  cache->release_slots();
  return 0;
}

void iter_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  // The cache releases Python objects, which may run arbitrary code; keep the object whole
  // until it is done.
  self_as<PricesIteratorObject>(self)->fields.replay = replay::SingleMarketReplay(release_object);
  self_as<PricesIteratorObject>(self)->~PricesIteratorObject();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot prices_iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator that yields MarketBook objects with object reuse")},
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(iter_dealloc)},
    {Py_tp_traverse, slot(iter_traverse)},
    {Py_tp_clear, slot(iter_clear)},
    {Py_tp_iter, slot(iter_self)},
    {Py_tp_iternext, slot(iter_next)},
    {Py_sq_length, slot(iter_len)},
    {Py_mp_length, slot(iter_len)},
    {0, nullptr},
};

}  // namespace

PyType_Spec prices_iterator_spec = {"PricesIterator", sizeof(PricesIteratorObject), 0,
                                    kGcClassFlags, prices_iterator_slots};

Ref make_prices_iterator(std::unique_ptr<MessageStore> messages) {
  return create<PricesIteratorObject>(state().prices_iterator,
                                      {.messages = std::move(messages),
                                       .replay = replay::SingleMarketReplay(release_object),
                                       .position = 0,
                                       .busy = false});
}

}  // namespace vantrel::py
