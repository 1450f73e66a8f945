#include "python/convert.hpp"

namespace vantrel::py {

void raise_conversion_error(const char* argument, PyObject* obj, const char* target) {
  Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", argument,
               type_name.get(), target);
}

}  // namespace vantrel::py
