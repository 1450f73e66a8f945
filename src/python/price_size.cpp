#include "python/price_size.hpp"

#include <string>

#include "python/convert.hpp"
#include "python/decimal_format.hpp"
#include "python/module_state.hpp"
#include "python/object.hpp"
#include "python/price_size_pool.hpp"

namespace vantrel::py {

namespace {

PriceSizePool g_pool(sizeof(PriceSizeObject));

PyObject* price_size_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const PriceSize& f = fields_of<PriceSizeObject>(self);
    std::string s = "PriceSize(price=";
    append_decimal(s, f.price);
    s += ", size=";
    append_decimal(s, f.size);
    s += ")";
    return to_py(s);
  });
}

PyObject* price_size_subscript(PyObject* self, PyObject* key) {
  const PriceSize& f = fields_of<PriceSizeObject>(self);
  if (!PyUnicode_Check(key)) {
    raise_conversion_error("key", key, "PyString");
    return nullptr;
  }
  if (PyUnicode_CompareWithASCIIString(key, "price") == 0) return to_py(f.price);
  if (PyUnicode_CompareWithASCIIString(key, "size") == 0) return to_py(f.size);
  PyErr_SetObject(PyExc_KeyError, key);
  return nullptr;
}

void price_size_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  g_pool.give(self);
  Py_DECREF(type);
}

PyGetSetDef price_size_getset[] = {
    VANTREL_GET(PriceSizeObject, "price", f.price),
    VANTREL_GET(PriceSizeObject, "size", f.size),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot price_size_slots[] = {
    {Py_tp_doc, const_cast<char*>("A price/size pair in the order book")},
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(price_size_dealloc)},
    {Py_tp_repr, slot(price_size_repr)},
    {Py_mp_subscript, slot(price_size_subscript)},
    {Py_tp_getset, price_size_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec price_size_spec = {"PriceSize", sizeof(PriceSizeObject), 0, kClassFlags,
                               price_size_slots};

Ref create_price_list(std::span<const PriceSize> levels) {
  PyTypeObject* type = state().price_size;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(levels.size())));
  if (!list) return list;
  Py_ssize_t i = 0;
  for (const PriceSize& level : levels) {
    PyObject* ps = g_pool.take(type);
    if (ps == nullptr) return Ref();
    self_as<PriceSizeObject>(ps)->fields = level;
    PyList_SET_ITEM(list.get(), i++, ps);
  }
  return list;
}

std::size_t kept_price_sizes() {
  return g_pool.kept();
}

void release_price_sizes() {
  g_pool.release();
}

}  // namespace vantrel::py
