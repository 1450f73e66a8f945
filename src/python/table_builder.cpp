#include "python/table_builder.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/convert.hpp"
#include "python/market_filter.hpp"
#include "python/object.hpp"
#include "python/recording_feed.hpp"
#include "sources/recording_reader.hpp"
#include "tables/book_sink.hpp"
#include "tables/catalogue.hpp"
#include "tables/prices.hpp"
#include "tables/summaries.hpp"
#include "tables/trades.hpp"

namespace vantrel::py {

const char kBuildTableDoc[] =
    "build_table(inputs, on_error, table, *, filter=None, unmatched=None, "
    "max_recording_bytes=0, form='best', depth=3, inplay=None, every_ms=0, changed_only=False, "
    "window=None, offsets=None, ladder='auto', counts=None, threads=1)\n--\n\n"
    "The columns of one table ('prices', 'trades', 'markets', 'runners' or 'catalogue') over every "
    "recording "
    "of the (label, path-or-bytes) pairs of `inputs`, as (name, kind, length, null_count, "
    "buffers, child_length, child_buffers) tuples. `filter` is a dict of market filter keys; at "
    "the end, `unmatched` is called with the names of those no market met. `window` is None or "
    "(start_ms, end_ms), either None, from each market's time. A list given as `counts` gets "
    "(books, markets) appended. `threads` recordings load side by side, the interpreter lock "
    "released. Use vantrel.prices_table and its siblings.";

namespace {

// Read-only bytes that a column was built in, lent to whoever asks through the buffer
// protocol; they go when the last view of them does.
struct ColumnBufferObject {
  PyObject_HEAD
  struct Fields {
    tables::Buffer buffer;
  } fields;
};

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
  const tables::Buffer& b = fields_of<ColumnBufferObject>(self).buffer;
  // An empty vector may have no storage at all; a view still needs an address.
  static const char kEmpty = 0;
  void* data = const_cast<void*>(b.size != 0 ? b.data : &kEmpty);
  return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(b.size), 1, flags);
}

PyType_Slot column_buffer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Bytes of one column buffer, lent without copying")},
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(destroy<ColumnBufferObject>)},
    {Py_bf_getbuffer, slot(buffer_get)},
    {0, nullptr},
};

PyType_Spec column_buffer_spec = {"vantrel._engine.ColumnBuffer", sizeof(ColumnBufferObject), 0,
                                  kClassFlags, column_buffer_slots};

PyTypeObject* column_buffer_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&column_buffer_spec));
  return type;
}

Ref buffer_object(std::optional<tables::Buffer>&& buffer) {
  if (!buffer) return Ref::borrow(Py_None);
  PyTypeObject* type = column_buffer_type();
  if (type == nullptr) return Ref();
  return create<ColumnBufferObject>(type, {.buffer = std::move(*buffer)});
}

Ref buffer_tuple(std::vector<std::optional<tables::Buffer>>&& buffers) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(buffers.size())));
  if (!tuple) return tuple;
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    Ref item = buffer_object(std::move(buffers[i]));
    if (!item) return item;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return tuple;
}

const char* kind_name(tables::ColumnKind kind) {
  switch (kind) {
    case tables::ColumnKind::kFloat64:
      return "float64";
    case tables::ColumnKind::kInt64:
      return "int64";
    case tables::ColumnKind::kTimestampMs:
      return "timestamp_ms";
    case tables::ColumnKind::kBool:
      return "bool";
    case tables::ColumnKind::kDictionary:
      return "dictionary";
    case tables::ColumnKind::kListInt64:
      return "list_int64";
  }
  return "";
}

Ref column_tuple(tables::FinishedColumn&& c) {
  Ref buffers = buffer_tuple(std::move(c.buffers));
  if (!buffers) return buffers;
  Ref child_buffers = buffer_tuple(std::move(c.child_buffers));
  if (!child_buffers) return child_buffers;
  Ref name = Ref::steal(to_py(c.name));
  if (!name) return name;
  return Ref::steal(Py_BuildValue("(OsLLOLO)", name.get(), kind_name(c.kind),
                                  static_cast<long long>(c.length),
                                  static_cast<long long>(c.null_count), buffers.get(),
                                  static_cast<long long>(c.child_length), child_buffers.get()));
}

Ref column_list(std::vector<tables::FinishedColumn>&& columns) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    Ref item = column_tuple(std::move(columns[i]));
    if (!item) return item;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

// The file a recording came from, as ReplayError names it.
bool file_text(const RecordingFeed& feed, std::string& out) {
  Py_ssize_t size = 0;
  const char* label = PyUnicode_AsUTF8AndSize(feed.label(), &size);
  if (label == nullptr) {
    // A path that is not UTF-8 comes with surrogates for its bytes, which a table's text cannot
    // hold: shown by the rule for names.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    Ref stored = Ref::steal(PyUnicode_EncodeFSDefault(feed.label()));
    if (!stored) return false;
    out = shown_name(std::string(PyBytes_AS_STRING(stored.get()),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(stored.get()))));
  } else {
    out.assign(label, static_cast<std::size_t>(size));
  }
  return true;
}

// The file and its archive member, as ReplayError names them.
bool source_text(const RecordingFeed& feed, std::string& out) {
  if (!file_text(feed, out)) return false;
  if (!feed.member().empty()) out += " (member " + feed.member() + ")";
  return true;
}

// Passes every call on to the table's sink, counting the books and the markets they belong to
// on the way, for a caller that reports them (the command line's summary).
class CountingSink final : public tables::BookSink {
 public:
  explicit CountingSink(tables::BookSink& inner) : inner_(inner) {}

  void place_recording(const tables::RecordingPlace& place) override {
    inner_.place_recording(place);
  }
  void begin_recording(std::string_view source) override {
    markets_.clear();
    inner_.begin_recording(source);
  }
  void before_message(std::int64_t grid_until, const replay::MultiMarketReplay& replay) override {
    inner_.before_message(grid_until, replay);
  }
  void on_book(MarketCache& market) override {
    ++books_;
    markets_.index_of(market);
    inner_.on_book(market);
  }
  void end_recording(const replay::MultiMarketReplay& replay, std::int64_t grid_until) override {
    market_total_ += markets_.size();
    inner_.end_recording(replay, grid_until);
  }
  std::vector<tables::FinishedColumn> finish() override { return inner_.finish(); }
  std::int64_t grid_reach() const override { return inner_.grid_reach(); }

  std::uint64_t books() const { return books_; }
  std::uint64_t markets() const { return market_total_; }

 private:
  tables::BookSink& inner_;
  tables::MarketOrder markets_;
  std::uint64_t books_ = 0;
  std::uint64_t market_total_ = 0;
};

// The interpreter lock released for as long as it lives, taken back however the scope ends
// (out of memory included).
class Unlocked {
 public:
  Unlocked() : thread_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(thread_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* thread_;
};

// Every recording of the feed through the sink, one after another. The interpreter lock is
// held only where the feed calls back into Python, for its inputs and for errors, and to name
// the recording: the sink is plain C++, and other Python threads run meanwhile.
// `matched` gets the filter keys some market met.
// `starts_only`: a recording named as one market's file is read to its first definition only.
bool run(RecordingFeed& feed, const replay::MarketFilter& filter, tables::BookSink& sink,
         replay::FilterKeys& matched, bool starts_only) {
  std::string source;
  std::string file;
  feed.decide_early(&filter);
  if (starts_only) feed.read_starts_only();
  while (std::unique_ptr<MessageStore> store = feed.next()) {
    if (!source_text(feed, source) || !file_text(feed, file)) return false;
    {
      const Unlocked unlocked;
      sink.place_recording({file, feed.member(), feed.stored()});
      matched |= tables::feed_recording(*store, filter, source, sink, feed.read_elsewhere());
      store.reset();
    }
    if (PyErr_CheckSignals() < 0) return false;
  }
  matched |= feed.matched_unread();
  return !PyErr_Occurred();
}

struct TableArgs {
  const char* table = nullptr;
  const char* form = "best";
  Py_ssize_t depth = 3;
  PyObject* in_play = Py_None;
  long long every_ms = 0;
  int changed_only = 0;
  PyObject* offsets = Py_None;
  const char* ladder = "auto";
  PyObject* window = Py_None;
};

bool int_list(PyObject* obj, std::vector<std::int64_t>& out) {
  if (obj == Py_None) return true;
  if (!PyList_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "offsets must be a list of int");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
    const long long v = PyLong_AsLongLong(PyList_GET_ITEM(obj, i));
    if (v == -1 && PyErr_Occurred()) return false;
    out.push_back(v);
  }
  return true;
}

bool window_end(PyObject* end, std::optional<std::int64_t>& out) {
  if (end == Py_None) return true;
  const long long ms = PyLong_AsLongLong(end);
  if (ms == -1 && PyErr_Occurred()) return false;
  out = ms;
  return true;
}

bool read_window(PyObject* window, tables::Window& out) {
  if (window == Py_None) return true;
  if (!PyTuple_Check(window) || PyTuple_GET_SIZE(window) != 2) {
    PyErr_SetString(PyExc_TypeError, "window must be None or a (start_ms, end_ms) tuple");
    return false;
  }
  return window_end(PyTuple_GET_ITEM(window, 0), out.start_ms) &&
         window_end(PyTuple_GET_ITEM(window, 1), out.end_ms);
}

bool prices_options(const TableArgs& a, tables::PricesOptions& out) {
  using Form = tables::PricesOptions::Form;
  const std::string form = a.form;
  if (form == "best") {
    out.form = Form::kBest;
  } else if (form == "ladder") {
    out.form = Form::kLadder;
  } else if (form == "ltp") {
    out.form = Form::kLastPriceTraded;
  } else {
    PyErr_Format(PyExc_ValueError, "unknown form '%s'", a.form);
    return false;
  }
  if (a.depth < 0) {
    PyErr_SetString(PyExc_ValueError, "depth must be positive");
    return false;
  }
  out.depth = static_cast<std::size_t>(a.depth);
  if (a.in_play != Py_None) out.in_play = PyObject_IsTrue(a.in_play) == 1;
  if (a.every_ms < 0) {
    PyErr_SetString(PyExc_ValueError, "every_ms must be positive");
    return false;
  }
  if (a.every_ms > 0) out.every_ms = a.every_ms;
  out.changed_only = a.changed_only != 0;
  if (!read_window(a.window, out.window)) return false;
  const std::string ladder = a.ladder;
  if (ladder == "auto") {
    out.ladder = LadderChoice::kHandOut;
  } else if (ladder == "full") {
    out.ladder = LadderChoice::kFull;
  } else if (ladder == "display") {
    out.ladder = LadderChoice::kDisplay;
  } else if (ladder == "best") {
    out.ladder = LadderChoice::kBest;
  } else {
    PyErr_Format(PyExc_ValueError, "unknown ladder '%s'", a.ladder);
    return false;
  }
  return true;
}

std::unique_ptr<tables::BookSink> make_sink(const TableArgs& a) {
  const std::string table = a.table;
  if (table == "prices") {
    tables::PricesOptions options;
    if (!prices_options(a, options)) return nullptr;
    return tables::make_prices_sink(options);
  }
  if (table == "trades") {
    tables::Window window;
    if (!read_window(a.window, window)) return nullptr;
    return tables::make_trades_sink(window);
  }
  if (table == "markets") return tables::make_market_summaries_sink();
  if (table == "catalogue") return tables::make_catalogue_sink();
  if (table == "runners") {
    std::vector<std::int64_t> offsets;
    if (!int_list(a.offsets, offsets)) return nullptr;
    return tables::make_runner_summaries_sink(std::move(offsets));
  }
  PyErr_Format(PyExc_ValueError, "unknown table '%s'", a.table);
  return nullptr;
}

}  // namespace

PyObject* build_table(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {
      "inputs",  "on_error", "table",  "filter",   "unmatched",    "max_recording_bytes",
      "form",    "depth",    "inplay", "every_ms", "changed_only", "window",
      "offsets", "ladder",   "counts", "threads",  nullptr};
  PyObject* inputs = nullptr;
  PyObject* on_error = nullptr;
  PyObject* filter_dict = Py_None;
  PyObject* unmatched = Py_None;
  PyObject* counts = Py_None;
  unsigned long long max_bytes = 0;
  Py_ssize_t threads = 1;
  TableArgs a;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "OOs|$OOKsnOLpOOsOn", const_cast<char**>(keywords), &inputs, &on_error,
          &a.table, &filter_dict, &unmatched, &max_bytes, &a.form, &a.depth, &a.in_play,
          &a.every_ms, &a.changed_only, &a.window, &a.offsets, &a.ladder, &counts, &threads)) {
    return nullptr;
  }
  if (threads < 1) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return nullptr;
  }
  if (counts != Py_None && !PyList_Check(counts)) {
    PyErr_SetString(PyExc_TypeError, "counts must be a list");
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    replay::MarketFilter filter;
    if (!read_market_filter(filter_dict, filter)) return nullptr;
    std::unique_ptr<tables::BookSink> sink = make_sink(a);
    if (!sink) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(inputs));
    if (!iterator) return nullptr;
    RecordingFeed feed(std::move(iterator), Ref::borrow(on_error),
                       max_bytes != 0 ? max_bytes : sources::Limits{}.max_recording_bytes,
                       static_cast<std::size_t>(threads));
    CountingSink counting(*sink);
    replay::FilterKeys matched;
    const bool starts_only = std::string_view(a.table) == "catalogue";
    if (!run(feed, filter, counting, matched, starts_only)) return nullptr;
    if (!report_unmatched(unmatched, filter, matched)) return nullptr;
    Ref columns = column_list(counting.finish());
    if (!columns || counts == Py_None) return columns.release();
    Ref pair = Ref::steal(Py_BuildValue("(KK)", static_cast<unsigned long long>(counting.books()),
                                        static_cast<unsigned long long>(counting.markets())));
    if (!pair || PyList_Append(counts, pair.get()) < 0) return nullptr;
    return columns.release();
  });
}

}  // namespace vantrel::py
