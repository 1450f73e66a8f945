// vantrel._engine.build_table: the research tables built in one pass over a source, handed
// back as column buffers that pyarrow wraps without copying.
#pragma once

#include <Python.h>

namespace vantrel::py {

extern const char kBuildTableDoc[];

PyObject* build_table(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::py
