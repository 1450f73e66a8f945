// Plain values to new Python objects, and the getters made from them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "market/market_cache.hpp"
#include "python/object.hpp"
#include "python/ref.hpp"

namespace vantrel::py {

// One read-only attribute: `expr` is evaluated with `f` bound to the object's fields.
#define VANTREL_GET(Object, attr, expr)                                   \
  PyGetSetDef {                                                           \
    attr,                                                                 \
        [](PyObject* o, void*) -> PyObject* {                             \
          [[maybe_unused]] auto& f = ::vantrel::py::fields_of<Object>(o); \
          return ::vantrel::py::to_py(expr);                              \
        },                                                                \
        nullptr, nullptr, nullptr                                         \
  }
// One read-only attribute with a fixed value.
#define VANTREL_CONST(attr, expr)                                                       \
  PyGetSetDef {                                                                         \
    attr, [](PyObject*, void*) -> PyObject* { return expr; }, nullptr, nullptr, nullptr \
  }

inline PyObject* to_py(std::int64_t v) {
  return PyLong_FromLongLong(v);
}
inline PyObject* to_py(std::int32_t v) {
  return PyLong_FromLong(v);
}
inline PyObject* to_py(double v) {
  return PyFloat_FromDouble(v);
}
inline PyObject* to_py(bool v) {
  return boolean(v);
}
inline PyObject* to_py(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* to_py(const std::string& s) {
  return to_py(std::string_view(s));
}
inline PyObject* to_py(const Ref& r) {
  return r ? r.new_ref() : none();
}
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

// A value a market definition gives, or None where no definition has said it yet.
template <class T>
struct Said {
  bool known;
  const T& value;
};
template <class T>
Said<T> said(bool known, const T& value) {
  return {known, value};
}
template <class T>
PyObject* to_py(const Said<T>& v) {
  return v.known ? to_py(v.value) : none();
}

// The TypeError for an argument of the wrong type: "argument 'NAME': 'TYPE' object cannot be
// converted to 'TARGET'".
void raise_conversion_error(const char* argument, PyObject* obj, const char* target);

// An optional list of str argument: true for None (leaving `out` empty) or a list of str;
// otherwise false with TypeError naming `name`.
bool string_list(PyObject* obj, const char* name, std::optional<std::vector<std::string>>& out);

}  // namespace vantrel::py
