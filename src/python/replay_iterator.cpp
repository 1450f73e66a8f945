#include "python/replay_iterator.hpp"

#include <memory>
#include <utility>

#include "python/object.hpp"
#include "replay/load.hpp"
#include "sources/recording_reader.hpp"

namespace vantrel::py {

namespace {

// A payload held for as long as its reader reads it: the reader sees the bytes in place.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() { release(); }

  bool hold(PyObject* object) {
    release();
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) return false;
    held_ = true;
    return true;
  }
  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }
  std::string_view bytes() const {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

bool no_pending_signal(void*) { return PyErr_CheckSignals() == 0; }

struct ReplayIteratorObject {
  PyObject_HEAD
  struct Fields {
    Ref inputs;
    Ref on_error;
    ReplaySettings settings;
    // The input being read: its label, its bytes (for a payload in memory) and its reader.
    Ref label{};
    std::unique_ptr<HeldBuffer> buffer{};
    std::unique_ptr<sources::RecordingReader> reader{};
    // The recording being replayed.
    std::unique_ptr<MessageStore> store{};
    std::unique_ptr<replay::MultiMarketReplay> replay{};
    std::size_t position = 0;
    // The markets the last message changed, and how many of their books have been handed out.
    std::vector<MarketCache*> changed{};
    std::size_t handed_out = 0;
    bool busy = false;
  } fields;
  static std::array<Ref*, 3> refs(Fields& f) { return {&f.inputs, &f.on_error, &f.label}; }
};

using Fields = ReplayIteratorObject::Fields;

class BusyScope {
 public:
  explicit BusyScope(Fields& it) : it_(it) { it_.busy = true; }
  ~BusyScope() { it_.busy = false; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  Fields& it_;
};

void end_recording(Fields& it) {
  it.changed.clear();
  it.handed_out = 0;
  it.position = 0;
  // The caches release Python objects, which may run arbitrary code: the fields stay whole.
  auto replay = std::move(it.replay);
  auto store = std::move(it.store);
  replay.reset();
  store.reset();
}

void end_input(Fields& it) {
  end_recording(it);
  it.reader.reset();
  if (it.buffer) it.buffer->release();
  it.label = Ref();
}

// Hands the failure to on_error; false when it raised.
bool report(Fields& it, const std::string& member, const std::string& text) {
  Ref member_obj = member.empty() ? Ref::borrow(Py_None)
                                  : Ref::steal(PyUnicode_DecodeUTF8(
                                        member.data(), static_cast<Py_ssize_t>(member.size()),
                                        "surrogateescape"));
  if (!member_obj) return false;
  Ref text_obj = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                                 "replace"));
  if (!text_obj) return false;
  Ref label = Ref::borrow(it.label.get());
  Ref result = Ref::steal(PyObject_CallFunctionObjArgs(it.on_error.get(), label.get(),
                                                       member_obj.get(), text_obj.get(), nullptr));
  return static_cast<bool>(result);
}

// Opens the next input; false at the end (no exception) or on an error (exception set).
bool open_next_input(Fields& it) {
  Ref pair = Ref::steal(PyIter_Next(it.inputs.get()));
  if (!pair) return false;
  PyObject* label = nullptr;
  PyObject* payload = nullptr;
  if (!PyArg_ParseTuple(pair.get(), "OO", &label, &payload)) return false;
  it.label = Ref::borrow(label);
  const sources::Limits limits{.max_recording_bytes = it.settings.max_recording_bytes};
  if (PyUnicode_Check(payload)) {
    Py_ssize_t size = 0;
    const char* path = PyUnicode_AsUTF8AndSize(payload, &size);
    if (path == nullptr) return false;
    it.reader = std::make_unique<sources::RecordingReader>(sources::RecordingReader::from_file(
        std::string(path, static_cast<std::size_t>(size)), limits));
    return true;
  }
  if (!it.buffer) it.buffer = std::make_unique<HeldBuffer>();
  if (!it.buffer->hold(payload)) return false;
  it.reader = std::make_unique<sources::RecordingReader>(
      sources::RecordingReader::from_memory(it.buffer->bytes(), limits));
  return true;
}

// Reads the reader's next recording into a fresh store. Returns false when the input is done
// or on an error (exception set); true when a recording is ready or one failed and was
// reported (the caller simply goes on).
bool load_next_recording(Fields& it, bool& input_done) {
  input_done = false;
  auto store = std::make_unique<MessageStore>();
  replay::StoreLines lines(*store, no_pending_signal, nullptr);
  using Status = sources::RecordingReader::Status;
  const Status status = it.reader->next(lines);
  switch (status) {
    case Status::kRecording:
      store->finish();
      replay::release_free_heap(lines.text_bytes());
      it.store = std::move(store);
      it.replay = std::make_unique<replay::MultiMarketReplay>(release_object, it.settings.filter);
      return true;
    case Status::kEnd:
      input_done = true;
      return true;
    case Status::kStopped:
      if (lines.interrupted()) {
        input_done = !it.reader->can_continue();
        return false;
      }
      input_done = !it.reader->can_continue();
      return report(it, it.reader->member(), lines.error());
    case Status::kFailed:
      input_done = !it.reader->can_continue();
      return report(it, it.reader->member(), it.reader->error());
  }
  return true;
}

PyObject* next_book(Fields& it) {
  for (;;) {
    if (it.handed_out < it.changed.size()) {
      MarketCache* cache = it.changed[it.handed_out++];
      return build_snapshot(*cache, it.settings.snapshot).release();
    }
    if (it.store && it.position < it.store->size()) {
      it.replay->apply(it.store->messages()[it.position++], it.changed);
      it.handed_out = 0;
      continue;
    }
    end_recording(it);
    if (!it.reader) {
      if (!it.inputs || !open_next_input(it)) {
        if (!PyErr_Occurred()) it.inputs = Ref();  // exhausted for good
        return nullptr;
      }
      continue;
    }
    // The loader looks for Ctrl-C only every few MB of one recording, and members the filter
    // drops hand nothing back to the interpreter: a long run of small ones must look here.
    if (PyErr_CheckSignals() < 0) return nullptr;
    bool input_done = false;
    const bool ok = load_next_recording(it, input_done);
    if (input_done) end_input(it);
    if (!ok) return nullptr;
  }
}

PyObject* replay_next(PyObject* self) {
  Fields& it = fields_of<ReplayIteratorObject>(self);
  if (it.busy) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
  }
  const BusyScope busy(it);
  return guarded<PyObject*>(nullptr, [&] { return next_book(it); });
}

PyObject* replay_self(PyObject* self) { return Py_NewRef(self); }

int replay_traverse(PyObject* self, visitproc visit, void* arg) {
  Fields& it = fields_of<ReplayIteratorObject>(self);
  for (Ref* ref : ReplayIteratorObject::refs(it)) Py_VISIT(ref->get());
  if (it.replay) {
    const int r =
        it.replay->visit_slots([&](void* object) { return visit(static_cast<PyObject*>(object), arg); });
    if (r != 0) return r;
  }
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int replay_clear(PyObject* self) {
  Fields& it = fields_of<ReplayIteratorObject>(self);
  const BusyScope busy(it);
  if (it.replay) it.replay->release_slots();
  for (Ref* ref : ReplayIteratorObject::refs(it)) *ref = Ref();
  return 0;
}

void replay_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Fields& it = fields_of<ReplayIteratorObject>(self);
  end_input(it);
  self_as<ReplayIteratorObject>(self)->~ReplayIteratorObject();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot replay_iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over the MarketBook objects of every market of a source")},
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(replay_dealloc)},
    {Py_tp_traverse, slot(replay_traverse)},
    {Py_tp_clear, slot(replay_clear)},
    {Py_tp_iter, slot(replay_self)},
    {Py_tp_iternext, slot(replay_next)},
    {0, nullptr},
};

}  // namespace

PyType_Spec replay_iterator_spec = {"vantrel._engine.ReplayIterator", sizeof(ReplayIteratorObject),
                                    0, kGcClassFlags, replay_iterator_slots};

Ref make_replay_iterator(PyTypeObject* type, Ref inputs, Ref on_error, ReplaySettings settings) {
  return create<ReplayIteratorObject>(type, {.inputs = std::move(inputs),
                                             .on_error = std::move(on_error),
                                             .settings = std::move(settings)});
}

}  // namespace vantrel::py
