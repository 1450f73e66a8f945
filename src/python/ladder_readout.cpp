#include "python/ladder_readout.hpp"

#include <cstring>

#include "python/dict_export.hpp"
#include "python/module_state.hpp"
#include "python/object.hpp"
#include "python/price_size.hpp"

namespace vantrel::py {

namespace {

// The levels are stored after the header, in one allocation with it.
struct LadderReadoutObject {
  PyObject_VAR_HEAD
  PyObject* list;  // null until first asked for
  bool dict_levels;
};

constexpr std::size_t kLevelsOffset = (sizeof(LadderReadoutObject) + alignof(PriceSize) - 1) /
                                      alignof(PriceSize) * alignof(PriceSize);

PriceSize* levels_of(PyObject* readout) {
  return reinterpret_cast<PriceSize*>(reinterpret_cast<char*>(readout) + kLevelsOffset);
}

int ladder_readout_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(self_as<LadderReadoutObject>(self)->list);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int ladder_readout_clear(PyObject* self) {
  Py_CLEAR(self_as<LadderReadoutObject>(self)->list);
  return 0;
}

void ladder_readout_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  ladder_readout_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot ladder_readout_slots[] = {
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(ladder_readout_dealloc)},
    {Py_tp_traverse, slot(ladder_readout_traverse)},
    {Py_tp_clear, slot(ladder_readout_clear)},
    {0, nullptr},
};

}  // namespace

PyType_Spec ladder_readout_spec = {"vantrel.LadderReadout", static_cast<int>(kLevelsOffset),
                                   static_cast<int>(sizeof(PriceSize)), kGcClassFlags,
                                   ladder_readout_slots};

Ref read_out_ladder(std::span<const PriceSize> levels, bool dict_levels) {
  auto* readout = PyObject_GC_NewVar(LadderReadoutObject, state().ladder_readout,
                                     static_cast<Py_ssize_t>(levels.size()));
  if (readout == nullptr) return Ref();
  readout->list = nullptr;  // made when first asked for
  readout->dict_levels = dict_levels;
  PyObject* object = reinterpret_cast<PyObject*>(readout);
  if (!levels.empty()) std::memcpy(levels_of(object), levels.data(), levels.size_bytes());
  PyObject_GC_Track(object);
  return Ref::steal(object);
}

PyObject* made_price_list(const Ref& readout) {
  return readout ? self_as<LadderReadoutObject>(readout.get())->list : nullptr;
}

bool holds_dicts(const Ref& readout) {
  return readout && self_as<LadderReadoutObject>(readout.get())->dict_levels;
}

std::span<const PriceSize> readout_levels(const Ref& readout) {
  if (!readout) return {};
  return {levels_of(readout.get()), static_cast<std::size_t>(Py_SIZE(readout.get()))};
}

Ref price_list(const Ref& readout) {
  if (!readout) return Ref::borrow(Py_None);  // emptied by the collector's clear
  auto* r = self_as<LadderReadoutObject>(readout.get());
  if (r->list == nullptr) {
    Ref list = r->dict_levels ? Ref::steal(price_dicts(readout_levels(readout)))
                              : create_price_list(readout_levels(readout));
    if (!list) return list;
    r->list = list.release();
  }
  return Ref::borrow(r->list);
}

}  // namespace vantrel::py
