// vantrel._engine: the module behind the package's own API, the second module of the library
// vantrel.vantrel is the first of (the package loads it from that file). It hands out objects of
// the very classes vantrel.vantrel registers and shares every cache with it.
#include <Python.h>

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/kept.hpp"
#include "messages/parser.hpp"
#include "python/convert.hpp"
#include "python/market_filter.hpp"
#include "python/module_state.hpp"
#include "python/object.hpp"
#include "python/price_size.hpp"
#include "python/ref.hpp"
#include "python/replay_iterator.hpp"
#include "python/table_builder.hpp"
#include "python/times.hpp"
#include "replay/early_judge.hpp"
#include "sources/recording_reader.hpp"
#include "sources/tar_index.hpp"

namespace vantrel::py {

namespace {

PyTypeObject* g_replay_iterator = nullptr;

PyObject* replay(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"inputs",
                                   "on_error",
                                   "filter",
                                   "unmatched",
                                   "naive_times",
                                   "appearance_order",
                                   "max_recording_bytes",
                                   "per_message",
                                   "dict_levels",
                                   "price_ladder_description",
                                   "calculate_market_tv",
                                   "cumulative_runner_tv",
                                   "activity",
                                   "threads",
                                   nullptr};
  PyObject* inputs = nullptr;
  PyObject* on_error = nullptr;
  PyObject* filter = Py_None;
  PyObject* unmatched = Py_None;
  int naive_times = 0;
  int appearance_order = 1;
  unsigned long long max_bytes = 0;
  int per_message = 0;
  int dict_levels = 0;
  PyObject* price_ladder_description = Py_None;
  int calculate_market_tv = 0;
  int cumulative_runner_tv = 0;
  int activity = 0;
  Py_ssize_t threads = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOppKppOpppn", const_cast<char**>(keywords),
                                   &inputs, &on_error, &filter, &unmatched, &naive_times,
                                   &appearance_order, &max_bytes, &per_message, &dict_levels,
                                   &price_ladder_description, &calculate_market_tv,
                                   &cumulative_runner_tv, &activity, &threads)) {
    return nullptr;
  }
  if (threads < 1) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ReplaySettings settings{};
    if (!read_market_filter(filter, settings.filter)) return nullptr;
    settings.unmatched = Ref::borrow(unmatched);
    settings.snapshot = {
        .times = naive_times ? SnapshotOptions::Times::kNaive : SnapshotOptions::Times::kAware,
        .appearance_order = appearance_order != 0,
        .bet_delay_models = true,
        .dict_levels = dict_levels != 0,
        .undefined_as_none = true};
    settings.computed_market_tv = calculate_market_tv != 0;
    settings.cumulative_runner_tv = cumulative_runner_tv != 0;
    settings.activity = activity != 0;
    if (price_ladder_description != Py_None) {
      settings.price_ladder_description = Ref::borrow(price_ladder_description);
      settings.snapshot.price_ladder_description = price_ladder_description;
    }
    settings.per_message = per_message != 0;
    settings.max_recording_bytes =
        max_bytes != 0 ? max_bytes : sources::Limits{}.max_recording_bytes;
    settings.threads = static_cast<std::size_t>(threads);
    Ref iterator = Ref::steal(PyObject_GetIter(inputs));
    if (!iterator) return nullptr;
    return make_replay_iterator(g_replay_iterator, std::move(iterator), Ref::borrow(on_error),
                                std::move(settings))
        .release();
  });
}

PyObject* release_memory(PyObject*, PyObject*) {
  PyThreadState* thread = PyEval_SaveThread();
  base::release_kept_memory();
  PyEval_RestoreThread(thread);
  release_price_sizes();
  Py_RETURN_NONE;
}

PyObject* kept_memory(PyObject*, PyObject*) {
  Ref kept = Ref::steal(PyDict_New());
  if (!kept) return nullptr;
  const auto add = [&](const char* name, std::size_t count) {
    Ref value = Ref::steal(PyLong_FromSize_t(count));
    return value && PyDict_SetItemString(kept.get(), name, value.get()) == 0;
  };
  for (const base::KeptCache& cache : base::kept_caches()) {
    if (!add(cache.name, static_cast<std::size_t>(cache.kept()))) return nullptr;
  }
  if (!add("price sizes", kept_price_sizes())) return nullptr;
  return kept.release();
}

PyObject* parser_path(PyObject*, PyObject*) {
  const std::string_view name = json::parser_path_name(json::default_parser_path());
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// The engine's own rule, so that the package's tasks keep together what the replay reads as one.
PyObject* names_event(PyObject*, PyObject* arg) {
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(arg, &converted)) return nullptr;
  const Ref name = Ref::steal(converted);
  const std::string_view text(PyBytes_AS_STRING(name.get()),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(name.get())));
  return PyBool_FromLong(!replay::event_named_by(text).empty());
}

// None when the file is no uncompressed tar or its walk met damage: such a file is read whole.
PyObject* tar_members(PyObject*, PyObject* arg) {
  Ref path_bytes;
  {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(arg, &converted)) return nullptr;
    path_bytes = Ref::steal(converted);
  }
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::string path(PyBytes_AS_STRING(path_bytes.get()),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(path_bytes.get())));
    std::vector<sources::TarIndexEntry> entries;
    std::string error;
    sources::TarIndexStatus status = sources::TarIndexStatus::kFailed;
    PyThreadState* thread = PyEval_SaveThread();
    try {
      status = sources::index_plain_tar(path, entries, error);
    } catch (const std::bad_alloc&) {
      entries.clear();  // a walk that could not finish: the archive is read whole
    }
    PyEval_RestoreThread(thread);
    if (status != sources::TarIndexStatus::kIndexed) Py_RETURN_NONE;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const sources::TarIndexEntry& e = entries[i];
      PyObject* name =
          PyBytes_FromStringAndSize(e.path.data(), static_cast<Py_ssize_t>(e.path.size()));
      if (name == nullptr) return nullptr;
      PyObject* item = Py_BuildValue("(KKNO)", static_cast<unsigned long long>(e.start),
                                     static_cast<unsigned long long>(e.size), name,
                                     e.starts_tar ? Py_True : Py_False);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyMethodDef engine_methods[] = {
    {"release_memory", release_memory, METH_NOARGS,
     "release_memory()\n--\n\nGives back to the system the memory vantrel keeps from one call "
     "to make the next one faster: buffers and chunks of finished loads, parsers, tables' first "
     "mappings, dropped PriceSize objects. For long-lived processes after a large run; the "
     "next call builds them anew."},
    {"kept_memory", kept_memory, METH_NOARGS,
     "kept_memory()\n--\n\nHow many things each of the engine's caches keeps now, by name."},
    {"parser_path", parser_path, METH_NOARGS,
     "parser_path()\n--\n\nThe path lines are parsed by: \"plain\" or \"scalar\"."},
    {"replay", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(replay)),
     METH_VARARGS | METH_KEYWORDS,
     "replay(inputs, on_error, *, filter=None, unmatched=None, naive_times=False, "
     "appearance_order=True, max_recording_bytes=0, "
     "per_message=False, dict_levels=False, price_ladder_description=None, "
     "calculate_market_tv=False, cumulative_runner_tv=False, "
     "activity=False, threads=1)\n--\n\n"
     "Books of every market of every recording the (label, path-or-bytes) pairs of `inputs` "
     "hold. `filter` is a dict of market filter keys; at the end of the run, `unmatched` is "
     "called with the names of those no market met. Use vantrel.replay."},
    {"names_event", names_event, METH_O,
     "names_event(name)\n--\n\n"
     "Whether `name` is named as the exchange names an event's own file: digits, with at most "
     "one compression suffix."},
    {"tar_members", tar_members, METH_O,
     "tar_members(path)\n--\n\n"
     "(walk start, size, name bytes, starts a tar) of every regular file of an uncompressed tar, "
     "as the replay walks it; None for any other file, or one whose walk meets damage."},
    {"build_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_table)),
     METH_VARARGS | METH_KEYWORDS, kBuildTableDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef engine_def = {
    PyModuleDef_HEAD_INIT, "_engine", "", 0, engine_methods, nullptr, nullptr, nullptr, nullptr};

PyObject* build_engine() {
  // The classes and names are made by vantrel.vantrel's import, in this same library.
  Ref classes = Ref::steal(PyImport_ImportModule("vantrel.vantrel"));
  if (!classes || !init_times()) return nullptr;
  g_replay_iterator = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&replay_iterator_spec));
  if (g_replay_iterator == nullptr) return nullptr;
  Ref module = Ref::steal(PyModule_Create(&engine_def));
  if (!module) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "ReplayIterator",
                            reinterpret_cast<PyObject*>(g_replay_iterator)) < 0) {
    return nullptr;
  }
  return module.release();
}

PyObject* g_engine = nullptr;
std::int64_t g_engine_interpreter = -1;

}  // namespace

}  // namespace vantrel::py

// Imported once per process, like vantrel.vantrel whose classes it shares.
extern "C" PyMODINIT_FUNC PyInit__engine() {
  using namespace vantrel::py;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (g_engine != nullptr && id != g_engine_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "vantrel does not support subinterpreters: it can only be imported once "
                    "per process, in its first interpreter");
    return nullptr;
  }
  if (g_engine == nullptr) {
    g_engine = build_engine();
    g_engine_interpreter = id;
  }
  return g_engine == nullptr ? nullptr : Py_NewRef(g_engine);
}
