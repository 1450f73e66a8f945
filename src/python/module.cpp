// The module entry point: one module object per process, its function and its eight classes.
#include <Python.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "python/convert.hpp"
#include "python/module_state.hpp"
#include "python/object.hpp"
#include "python/prices_iterator.hpp"
#include "python/ref.hpp"
#include "replay/load.hpp"

namespace vantrel::py {

namespace {

constexpr const char* kFunctionName = "iter_prices_file";

// Accepts exactly one argument `path`, by position or by keyword, with the messages Python
// users know from other native functions.
PyObject* path_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given",
                 kFunctionName, nargs);
    return nullptr;
  }
  PyObject* path = nargs == 1 ? args[0] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_CompareWithASCIIString(name, "path") != 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", kFunctionName,
                   name);
      return nullptr;
    }
    if (path != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'path'", kFunctionName);
      return nullptr;
    }
    path = args[nargs + i];
  }
  if (path == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'path'",
                 kFunctionName);
    return nullptr;
  }
  if (!PyUnicode_Check(path)) {
    raise_conversion_error("path", path, "PyString");
    return nullptr;
  }
  return path;
}

// A pending signal (Ctrl-C) cuts a long load short; its exception is already set.
bool no_pending_signal(void*) {
  return PyErr_CheckSignals() == 0;
}

PyObject* load(const std::string& path) {
  replay::LoadResult result = replay::load_file(path, no_pending_signal, nullptr);
  if (!result.ok()) {
    if (!result.interrupted) PyErr_SetString(PyExc_ValueError, result.error.c_str());
    return nullptr;
  }
  replay::release_free_heap(result.text_bytes);
  return make_prices_iterator(std::move(result.store)).release();
}

PyObject* iter_prices_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* path = path_argument(args, nargs, kwnames);
  if (path == nullptr) return nullptr;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(path, &size);
  if (utf8 == nullptr) return nullptr;
  if (std::memchr(utf8, '\0', static_cast<std::size_t>(size)) != nullptr) {
    PyErr_SetString(PyExc_ValueError, "file name contained an unexpected NUL byte");
    return nullptr;
  }
  return guarded<PyObject*>(
      nullptr, [&] { return load(std::string(utf8, static_cast<std::size_t>(size))); });
}

PyMethodDef iter_prices_file_def = {
    kFunctionName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_prices_file)),
    METH_FASTCALL | METH_KEYWORDS, "iter_prices_file(path)\n--\n\n"};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vantrel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;

// Appends `name` to __all__ (created when missing), then sets the attribute.
bool add(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyObject_SetAttr(module, key.get(), value) == 0;
}

bool add_function(PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  Ref function = Ref::steal(PyCFunction_NewEx(&iter_prices_file_def, module, module_name.get()));
  if (!function) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be a string");
    return false;
  }
  return add(module, PyUnicode_AsUTF8(name.get()), function.get());
}

PyObject* build_module() {
  if (!init_state()) return nullptr;
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module || !add_function(module.get())) return nullptr;
  for (const ClassEntry& entry : class_table()) {
    if (entry.name == nullptr) continue;
    PyObject* type = reinterpret_cast<PyObject*>(state().*entry.type);
    if (!add(module.get(), entry.name, type)) return nullptr;
  }
  return module.release();
}

}  // namespace

}  // namespace vantrel::py

extern "C" PyMODINIT_FUNC PyInit_vantrel() {
  using namespace vantrel::py;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  std::int64_t expected = -1;
  if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "vantrel does not support subinterpreters: it can only be imported once "
                    "per process, in its first interpreter");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  g_module = build_module();
  return g_module == nullptr ? nullptr : Py_NewRef(g_module);
}
