#include "python/convert.hpp"

namespace vantrel::py {

void raise_conversion_error(const char* argument, PyObject* obj, const char* target) {
  Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", argument,
               type_name.get(), target);
}

// None, or a list of str.
bool string_list(PyObject* obj, const char* name, std::optional<std::vector<std::string>>& out) {
  if (obj == Py_None) return true;
  if (!PyList_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a list of str", name);
    return false;
  }
  auto& items = out.emplace();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
    PyObject* item = PyList_GET_ITEM(obj, i);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
    if (text == nullptr) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must be a list of str", name);
      return false;
    }
    items.emplace_back(text, static_cast<std::size_t>(size));
  }
  return true;
}

}  // namespace vantrel::py
