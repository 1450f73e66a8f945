#include "python/object.hpp"

namespace vantrel::py {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

}  // namespace vantrel::py
