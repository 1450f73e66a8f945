// Plain values to new Python objects, and the pieces every native class shares.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/pyref.hpp"
#include "market/market_cache.hpp"

namespace vantrel::py {

// One read-only attribute: `expr` is evaluated with `f` bound to the object's fields.
#define VANTREL_GET(Object, attr, expr)                                    \
  PyGetSetDef {                                                            \
    attr,                                                                  \
        [](PyObject* o, void*) -> PyObject* {                              \
          [[maybe_unused]] auto& f = reinterpret_cast<Object*>(o)->fields; \
          return ::vantrel::py::to_py(expr);                               \
        },                                                                 \
        nullptr, nullptr, nullptr                                          \
  }
// One read-only attribute with a fixed value.
#define VANTREL_CONST(attr, expr) \
  PyGetSetDef { attr, [](PyObject*, void*) -> PyObject* { return expr; }, nullptr, nullptr, nullptr }

inline PyObject* to_py(std::int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* to_py(std::int32_t v) { return PyLong_FromLong(v); }
inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_py(bool v) { return boolean(v); }
inline PyObject* to_py(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* to_py(const std::string& s) { return to_py(std::string_view(s)); }
inline PyObject* to_py(const Ref& r) { return r ? r.new_ref() : none(); }
template <class T>
PyObject* to_py(const std::optional<T>& v) {
  return v ? to_py(*v) : none();
}
inline PyObject* to_py(const SpValue& sp) {
  switch (sp.kind) {
    case SpValue::Kind::kNumber:
      return to_py(sp.number);
    case SpValue::Kind::kText:
      return to_py(sp.text);
    default:
      return none();
  }
}

// A class that cannot be called from Python.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// The TypeError for an argument of the wrong type: "argument 'NAME': 'TYPE' object cannot be
// converted to 'TARGET'".
void raise_conversion_error(const char* argument, PyObject* obj, const char* target);

// Creates a class from its spec once per process; nullptr with an exception on failure.
PyTypeObject* type_from_spec(PyTypeObject*& slot, PyType_Spec& spec);

// Destroys the C++ fields of a native object and frees it (for classes with and without GC).
template <class Object>
void destroy(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  const bool gc = PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC);
  if (gc) PyObject_GC_UnTrack(self);
  reinterpret_cast<Object*>(self)->~Object();
  type->tp_free(self);
  Py_DECREF(type);
}

// Allocates a native object and constructs its C++ fields in place.
template <class Object, class... Args>
Object* allocate(PyTypeObject* type, Args&&... args) {
  PyObject* raw = PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC) ? _PyObject_GC_New(type)
                                                               : _PyObject_New(type);
  if (raw == nullptr) return nullptr;
  auto* obj = reinterpret_cast<Object*>(raw);
  new (&obj->fields) decltype(obj->fields)(std::forward<Args>(args)...);
  return obj;
}

}  // namespace vantrel::py
