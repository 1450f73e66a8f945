// The module entry point: one module object per process, its function and its eight classes.
#include <Python.h>

#include <atomic>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstring>
#include <memory>
#include <string>

#include "lib/prices_iterator.hpp"
#include "lib/pyref.hpp"
#include "market/py_convert.hpp"
#include "market/py_definition.hpp"
#include "market/py_snapshot.hpp"
#include "messages/message_store.hpp"
#include "messages/stream_reader.hpp"

namespace vantrel::py {

namespace {

// Feeds decoded lines into the message store; keeps the first JSON error, and lets a pending
// signal (Ctrl-C) cut a long load short.
class StoreLines final : public LineHandler {
 public:
  explicit StoreLines(MessageStore& store) : store_(store) {}

  bool on_line(std::string_view line) override {
    text_bytes_ += line.size();
    const json::ParseError err = store_.add_line(line);
    if (!err) return true;
    error_ = err.message();
    return false;
  }
  bool keep_going() override {
    if (PyErr_CheckSignals() == 0) return true;
    interrupted_ = true;
    return false;
  }

  const std::string& error() const { return error_; }
  bool interrupted() const { return interrupted_; }
  std::size_t text_bytes() const { return text_bytes_; }

 private:
  MessageStore& store_;
  std::string error_;
  bool interrupted_ = false;
  std::size_t text_bytes_ = 0;
};

constexpr const char* kFunctionName = "iter_prices_file";

// The load's transient buffers (inflate window, line buffer, compressed input, the message
// list's earlier copies) are freed by now; after a large load, hand their pages back so that a
// replay holds only what the iterator keeps. After a small one the few pages are not worth it:
// trimming costs more than the load (the pages fault back in on the next one).
void release_free_heap(std::size_t text_bytes) {
  constexpr std::size_t kWorthTrimming = std::size_t{16} << 20;
#ifdef __GLIBC__
  if (text_bytes >= kWorthTrimming) malloc_trim(0);
#else
  (void)text_bytes;
#endif
}

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
  // The class is created before the load so that a failure cannot waste a whole decode.
  if (prices_iterator_type() == nullptr) return nullptr;

  auto store = std::make_unique<MessageStore>();
  StoreLines lines(*store);
  const ReadResult result = read_stream_lines(std::string(utf8, static_cast<std::size_t>(size)), lines);
  switch (result.status) {
    case ReadStatus::kOk:
      store->finish();
      release_free_heap(lines.text_bytes());
      return make_prices_iterator(std::move(store));
    case ReadStatus::kFailed:
      PyErr_SetString(PyExc_ValueError, result.message.c_str());
      return nullptr;
    case ReadStatus::kStopped:
      if (!lines.interrupted()) PyErr_SetString(PyExc_ValueError, lines.error().c_str());
      return nullptr;
  }
  return nullptr;
}

PyMethodDef iter_prices_file_def = {
    kFunctionName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_prices_file)),
    METH_FASTCALL | METH_KEYWORDS, "iter_prices_file(path)\n--\n\n"};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vantrel", "", 0, nullptr,
                          nullptr,               nullptr,   nullptr, nullptr};

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

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
  return type != nullptr && add(module, name, reinterpret_cast<PyObject*>(type));
}

PyObject* build_module() {
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  const bool ok = add_function(module.get()) &&
                  add_class(module.get(), "PricesIterator", prices_iterator_type()) &&
                  add_class(module.get(), "MarketBook", market_book_type()) &&
                  add_class(module.get(), "Runner", runner_type()) &&
                  add_class(module.get(), "ExchangePrices", exchange_prices_type()) &&
                  add_class(module.get(), "StartingPrices", starting_prices_type()) &&
                  add_class(module.get(), "PriceSize", price_size_type()) &&
                  add_class(module.get(), "MarketDefinition", market_definition_type()) &&
                  add_class(module.get(), "MarketDefinitionRunner", market_definition_runner_type());
  return ok ? module.release() : nullptr;
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
