#include "lib/prices_iterator.hpp"

#include "market/py_convert.hpp"
#include "market/py_definition.hpp"
#include "market/py_snapshot.hpp"
#include "market/py_times.hpp"

namespace vantrel::py {

namespace {

struct PricesIteratorObject {
  PyObject_HEAD
  struct Fields {
    std::unique_ptr<MessageStore> messages;
    std::unique_ptr<MarketCache> cache;
    std::size_t position = 0;
    // Set for the whole of a step: Python code run inside it (a warning filter, a finaliser)
    // must not re-enter the iterator and change the cache under the step's feet.
    bool busy = false;
  } fields;
};

PricesIteratorObject::Fields& fields_of(PyObject* self) {
  return reinterpret_cast<PricesIteratorObject*>(self)->fields;
}

void release_object(void* object) { Py_DECREF(static_cast<PyObject*>(object)); }

const json::Key kId("id");

// Applies one message. A change naming another market than the cache's is skipped whole: a
// file recorded at event level holds several markets, and mixing them would corrupt the book.
void apply_message(PricesIteratorObject::Fields& it, const ParsedMessage& message) {
  message.for_each_change([&](json::Value change) {
    if (change.is_object()) {
      const json::Value id = change.find(kId);
      if (id.present() && id.is_string() && !id.as_string().empty()) {
        if (!it.cache) {
          it.cache = std::make_unique<MarketCache>(id.as_string(), release_object);
        } else if (id.as_string() != it.cache->market_id) {
          return;
        }
      }
    }
    if (it.cache) it.cache->update(change, message.publish_time());
  });
}

// The ladder's read-out, reused while the ladder's counter has not moved.
PyObject* ladder_readout(MarketCache& cache, ReuseSlot& slot, const PriceLadder& ladder) {
  if (slot.object == nullptr || slot.stamp != ladder.change_counter()) {
    Ref readout = read_out_ladder(ladder);
    if (!readout) return nullptr;
    cache.refill(slot, readout.release(), ladder.change_counter());
  }
  return static_cast<PyObject*>(slot.object);
}

PyObject* runner_object(MarketCache& cache, RunnerCache& r) {
  if (r.runner_slot.object != nullptr && r.runner_slot.stamp == r.change_counter) {
    return static_cast<PyObject*>(r.runner_slot.object);
  }
  PyObject* back = ladder_readout(cache, r.atb_slot, r.atb);
  if (back == nullptr) return nullptr;
  PyObject* lay = ladder_readout(cache, r.atl_slot, r.atl);
  if (lay == nullptr) return nullptr;
  PyObject* traded = ladder_readout(cache, r.trd_slot, r.trd);
  if (traded == nullptr) return nullptr;
  Ref ex = make_exchange_prices(Ref::borrow(back), Ref::borrow(lay), Ref::borrow(traded));
  if (!ex) return nullptr;
  PyObject* spl = ladder_readout(cache, r.spl_slot, r.spl);
  if (spl == nullptr) return nullptr;
  PyObject* spb = ladder_readout(cache, r.spb_slot, r.spb);
  if (spb == nullptr) return nullptr;
  Ref runner = make_runner(r, std::move(ex), Ref::borrow(spl), Ref::borrow(spb));
  if (!runner) return nullptr;
  cache.refill(r.runner_slot, runner.release(), r.change_counter);
  return static_cast<PyObject*>(r.runner_slot.object);
}

// The definition object, rebuilt only when a definition arrived since the last build. The slot
// changes only after a successful build, so a bad time raises again at every step.
Ref definition_object(MarketCache& cache) {
  ReuseSlot& slot = cache.definition_slot;
  if (slot.stamp != cache.definition_generation) {
    Ref definition = make_market_definition(cache);
    if (!definition) return definition;
    cache.refill(slot, definition.release(), cache.definition_generation);
  }
  return Ref::borrow(slot.object == nullptr ? nullptr : static_cast<PyObject*>(slot.object));
}

PyObject* build_snapshot(MarketCache& cache) {
  const auto& runners = cache.runners();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(runners.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& r : runners) {
    PyObject* runner = runner_object(cache, *r);
    if (runner == nullptr) return nullptr;
    Py_INCREF(runner);
    PyList_SET_ITEM(list.get(), i++, runner);
  }
  Ref definition = definition_object(cache);
  if (!definition && PyErr_Occurred()) return nullptr;
  Ref publish_time = publish_time_to_datetime(cache.publish_time);
  if (!publish_time) return nullptr;
  return make_market_book(cache, std::move(list), std::move(definition), std::move(publish_time))
      .release();
}

PyObject* iter_next(PyObject* self) {
  auto& it = fields_of(self);
  if (it.busy) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
  }
  it.busy = true;
  PyObject* result = nullptr;
  const auto& messages = it.messages->messages();
  // Messages before the first one that names a market are consumed without a snapshot.
  while (it.position < messages.size()) {
    apply_message(it, messages[it.position++]);
    if (it.cache) {
      result = build_snapshot(*it.cache);
      break;
    }
  }
  it.busy = false;
  return result;
}

PyObject* iter_self(PyObject* self) {
  if (fields_of(self).busy) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return nullptr;
  }
  return Py_NewRef(self);
}

Py_ssize_t iter_len(PyObject* self) {
  auto& it = fields_of(self);
  if (it.busy) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return -1;
  }
  return static_cast<Py_ssize_t>(it.messages->size());
}

void iter_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto& it = fields_of(self);
  // The cache releases Python objects, which may run arbitrary code; keep the object whole
  // until it is done.
  it.cache.reset();
  reinterpret_cast<PricesIteratorObject*>(self)->~PricesIteratorObject();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot prices_iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator that yields MarketBook objects with object reuse")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
    {Py_sq_length, reinterpret_cast<void*>(iter_len)},
    {Py_mp_length, reinterpret_cast<void*>(iter_len)},
    {0, nullptr},
};
PyType_Spec prices_iterator_spec = {"PricesIterator", sizeof(PricesIteratorObject), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                                    prices_iterator_slots};
PyTypeObject* g_prices_iterator = nullptr;

}  // namespace

PyTypeObject* prices_iterator_type() {
  return type_from_spec(g_prices_iterator, prices_iterator_spec);
}

PyObject* make_prices_iterator(std::unique_ptr<MessageStore> messages) {
  PyTypeObject* type = prices_iterator_type();
  if (type == nullptr) return nullptr;
  auto* obj = allocate<PricesIteratorObject>(type);
  if (obj == nullptr) return nullptr;
  obj->fields.messages = std::move(messages);
  return reinterpret_cast<PyObject*>(obj);
}

}  // namespace vantrel::py
