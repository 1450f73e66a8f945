#include "python/replay_iterator.hpp"

#include <memory>
#include <utility>

#include "python/market_filter.hpp"
#include "python/object.hpp"
#include "python/recording_feed.hpp"
#include "python/traded_totals.hpp"

namespace vantrel::py {

namespace {

struct ReplayIteratorObject {
  PyObject_HEAD
  struct Fields {
    RecordingFeed feed;
    ReplaySettings settings;
    // The recording being replayed.
    std::unique_ptr<MessageStore> store{};
    std::unique_ptr<replay::MultiMarketReplay> replay{};
    std::size_t position = 0;
    // The markets the last message changed, and how many of their books have been handed out.
    std::vector<MarketCache*> changed{};
    std::size_t handed_out = 0;
    std::optional<TradedTotals> totals{};
    // With settings.activity: which of the changed markets' books the listener left out.
    std::vector<char> left_out{};
    std::uint64_t recordings = 0;  // started so far
    // The filter keys some market of the recordings done so far met.
    replay::FilterKeys matched{};
    // The last recording is done and what the filter met was reported.
    bool finished = false;
    bool busy = false;
    unsigned long busy_thread = 0;  // the thread inside the iterator while it is busy
  } fields;
};

using Fields = ReplayIteratorObject::Fields;

TradedTotals* totals_of(Fields& it) {
  return it.totals ? &*it.totals : nullptr;
}

// The last message's changes, let through or left out by the caller's listener.
bool settle(Fields& it) {
  if (!it.settings.activity || !it.totals) return true;
  for (std::size_t i = 0; i < it.changed.size(); ++i) {
    const bool left_out = i < it.left_out.size() && it.left_out[i] != 0;
    if (!it.totals->settle(*it.changed[i], !left_out)) return false;
  }
  it.left_out.clear();
  return true;
}

void end_recording(Fields& it) {
  if (it.replay) it.matched |= it.replay->matched();
  if (it.totals) it.totals->clear();
  it.left_out.clear();
  it.changed.clear();
  it.handed_out = 0;
  it.position = 0;
  // The caches release Python objects, which may run arbitrary code: the fields stay whole
  // until they are done.
  auto replay = std::move(it.replay);
  auto store = std::move(it.store);
  replay.reset();
  store.reset();
}

// Every book of the message last applied, with the recording's number.
PyObject* message_books(Fields& it) {
  Ref books = Ref::steal(PyList_New(static_cast<Py_ssize_t>(it.changed.size())));
  if (!books) return nullptr;
  for (std::size_t i = 0; i < it.changed.size(); ++i) {
    Ref book = build_snapshot(*it.changed[i], it.settings.snapshot, totals_of(it));
    if (!book) return nullptr;
    PyList_SET_ITEM(books.get(), static_cast<Py_ssize_t>(i), book.release());
  }
  it.handed_out = it.changed.size();
  return Py_BuildValue("(KN)", static_cast<unsigned long long>(it.recordings - 1), books.release());
}

PyObject* next_book(Fields& it) {
  for (;;) {
    if (it.handed_out < it.changed.size()) {
      if (it.settings.per_message) return message_books(it);
      MarketCache* cache = it.changed[it.handed_out++];
      return build_snapshot(*cache, it.settings.snapshot, totals_of(it)).release();
    }
    if (it.store && it.position < it.store->size()) {
      if (!settle(it)) return nullptr;
      it.replay->apply(it.store->messages()[it.position++], it.changed);
      it.handed_out = 0;
      continue;
    }
    end_recording(it);
    // Recordings that yield nothing (every market filtered out) hand nothing back to the
    // interpreter: Ctrl-C must be looked for here too.
    if (PyErr_CheckSignals() < 0) return nullptr;
    std::unique_ptr<MessageStore> store = it.feed.next();
    if (!store) {
      // Only a run that went to its end can tell that a filter key met no market.
      if (PyErr_Occurred() || it.finished) return nullptr;
      it.finished = true;
      it.matched |= it.feed.matched_unread();
      report_unmatched(it.settings.unmatched.get(), it.settings.filter, it.matched);
      return nullptr;
    }
    it.store = std::move(store);
    it.replay = std::make_unique<replay::MultiMarketReplay>(release_object, it.settings.filter,
                                                            it.feed.read_elsewhere());
    ++it.recordings;
  }
}

// A call made while another is inside the iterator is refused, and says which kind of call that
// is: another thread's (the lock is let go while a recording loads, so a second thread gets in)
// or this thread's own, from Python code the first call ran (a warning filter, a callback).
bool refused_while_busy(const Fields& it) {
  if (!it.busy) return false;
  PyErr_SetString(PyExc_RuntimeError,
                  it.busy_thread != PyThread_get_thread_ident()
                      ? "this replay is being iterated by another thread; an iterator is not "
                        "shared between threads at once"
                      : "this replay was called again from code it ran while making a book");
  return true;
}

PyObject* replay_next(PyObject* self) {
  Fields& it = fields_of<ReplayIteratorObject>(self);
  if (refused_while_busy(it)) return nullptr;
  const BusyScope busy(it.busy);
  it.busy_thread = PyThread_get_thread_ident();
  return guarded<PyObject*>(nullptr, [&] { return next_book(it); });
}

// left_out(positions): the books of the last message (by their position in its list) that
// the caller's listener left out.
PyObject* replay_left_out(PyObject* self, PyObject* positions) {
  Fields& it = fields_of<ReplayIteratorObject>(self);
  if (refused_while_busy(it)) return nullptr;
  const BusyScope busy(it.busy);
  it.busy_thread = PyThread_get_thread_ident();
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Ref items = Ref::steal(PySequence_Fast(positions, "positions must be a sequence of ints"));
    if (!items) return nullptr;
    it.left_out.assign(it.changed.size(), 0);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
      const Py_ssize_t at =
          PyNumber_AsSsize_t(PySequence_Fast_GET_ITEM(items.get(), i), PyExc_IndexError);
      if (at == -1 && PyErr_Occurred()) return nullptr;
      if (at < 0 || static_cast<std::size_t>(at) >= it.changed.size()) {
        PyErr_SetString(PyExc_IndexError, "no such book in the last message");
        return nullptr;
      }
      it.left_out[static_cast<std::size_t>(at)] = 1;
    }
    return Py_NewRef(Py_None);
  });
}

PyMethodDef replay_methods[] = {
    {"left_out", replay_left_out, METH_O,
     "left_out($self, positions, /)\n--\n\nThe books of the last message that the caller's "
     "listener left out, by position: computed totals follow what it let through."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* replay_self(PyObject* self) {
  return Py_NewRef(self);
}

int replay_traverse(PyObject* self, visitproc visit, void* arg) {
  Fields& it = fields_of<ReplayIteratorObject>(self);
  if (const int r = it.feed.traverse(visit, arg)) return r;
  Py_VISIT(it.settings.price_ladder_description.get());
  Py_VISIT(it.settings.unmatched.get());
  if (it.replay) {
    const int r = it.replay->visit_slots(
        [&](void* object) { return visit(static_cast<PyObject*>(object), arg); });
    if (r != 0) return r;
  }
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int replay_clear(PyObject* self) {
  Fields& it = fields_of<ReplayIteratorObject>(self);
  const BusyScope busy(it.busy);
  it.busy_thread = PyThread_get_thread_ident();
  if (it.replay) it.replay->release_slots();
  it.feed.clear();
  it.settings.snapshot.price_ladder_description = nullptr;
  it.settings.price_ladder_description = Ref();
  it.settings.unmatched = Ref();
  return 0;
}

void replay_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  end_recording(fields_of<ReplayIteratorObject>(self));
  self_as<ReplayIteratorObject>(self)->~ReplayIteratorObject();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot replay_iterator_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Iterator over the MarketBook objects of every market of a source")},
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(replay_dealloc)},
    {Py_tp_traverse, slot(replay_traverse)},
    {Py_tp_clear, slot(replay_clear)},
    {Py_tp_iter, slot(replay_self)},
    {Py_tp_iternext, slot(replay_next)},
    {Py_tp_methods, replay_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec replay_iterator_spec = {"vantrel._engine.ReplayIterator", sizeof(ReplayIteratorObject),
                                    0, kGcClassFlags, replay_iterator_slots};

Ref make_replay_iterator(PyTypeObject* type, Ref inputs, Ref on_error, ReplaySettings settings) {
  RecordingFeed feed(std::move(inputs), std::move(on_error), settings.max_recording_bytes,
                     settings.threads);
  std::optional<TradedTotals> totals;
  if (settings.computed_market_tv || settings.cumulative_runner_tv) {
    totals.emplace(settings.computed_market_tv, settings.cumulative_runner_tv);
  }
  Ref iterator = create<ReplayIteratorObject>(
      type,
      {.feed = std::move(feed), .settings = std::move(settings), .totals = std::move(totals)});
  if (iterator) {
    auto& fields = fields_of<ReplayIteratorObject>(iterator.get());
    fields.feed.decide_early(&fields.settings.filter);
  }
  return iterator;
}

}  // namespace vantrel::py
