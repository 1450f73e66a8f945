#include "python/recording_feed.hpp"

#include <chrono>
#include <optional>
#include <utility>

#include "replay/background_loader.hpp"
#include "sources/utf8.hpp"

namespace vantrel::py {

// A payload held for as long as the worker may read it: the reader sees the bytes in place.
class RecordingFeed::HeldBuffer {
 public:
  explicit HeldBuffer(PyObject* object) {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool held() const { return held_; }
  std::string_view bytes() const {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

struct RecordingFeed::Pending {
  Ref label;
  std::unique_ptr<HeldBuffer> buffer;
  std::string member;  // as given with the input, UTF-8; "" for none
};

namespace {

// How long the caller waits for the worker before it looks for Ctrl-C again.
constexpr std::chrono::milliseconds kSignalPoll{50};

Ref decode(const std::string& text, const char* errors) {
  return Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), errors));
}

// The market ids of an input's fifth item, an iterable of str.
bool add_markets(PyObject* markets, std::vector<std::string>& out) {
  Ref items = Ref::steal(PySequence_Fast(markets, "an input's markets must be a sequence"));
  if (!items) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* id = PySequence_Fast_GET_ITEM(items.get(), i);
    const char* utf8 = PyUnicode_Check(id) ? PyUnicode_AsUTF8(id) : nullptr;
    if (utf8 == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a market id must be a str");
      return false;
    }
    out.emplace_back(utf8);
  }
  return true;
}

}  // namespace

std::string shown_name(const std::string& stored) {
  if (utf8::is_valid(stored)) return stored;
  std::string shown;
  shown.reserve(stored.size() * 2);
  for (const char c : stored) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      shown += c;
    } else {
      shown += static_cast<char>(0xC0 | (byte >> 6));
      shown += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return shown;
}

RecordingFeed::RecordingFeed(Ref inputs, Ref on_error, std::uint64_t max_recording_bytes,
                             std::size_t threads)
    : inputs_(std::move(inputs)),
      on_error_(std::move(on_error)),
      max_recording_bytes_(max_recording_bytes),
      threads_(threads == 0 ? 1 : threads) {}
RecordingFeed::RecordingFeed(RecordingFeed&&) noexcept = default;
RecordingFeed& RecordingFeed::operator=(RecordingFeed&&) noexcept = default;
RecordingFeed::~RecordingFeed() {
  stop();
}

int RecordingFeed::traverse(visitproc visit, void* arg) const {
  Py_VISIT(inputs_.get());
  Py_VISIT(on_error_.get());
  Py_VISIT(label_.get());
  for (const Pending& p : pending_) Py_VISIT(p.label.get());
  return 0;
}

void RecordingFeed::clear() {
  stop();
  inputs_ = Ref();
  on_error_ = Ref();
  label_ = Ref();
}

// The worker goes first: it may be reading the buffers about to be released. In a process
// forked while it ran there is no worker, and the loader's state is left as the fork found it.
void RecordingFeed::stop() {
  if (loader_ && loader_->forked()) {
    static_cast<void>(loader_.release());
  }
  loader_.reset();
  pending_.clear();
}

bool RecordingFeed::report(PyObject* label, const std::string& member, const std::string& text,
                           bool read) {
  Ref member_obj = member.empty() ? Ref::borrow(Py_None) : decode(member, "strict");
  if (!member_obj) return false;
  Ref text_obj = decode(text, "replace");
  if (!text_obj) return false;
  Ref keep_label = Ref::borrow(label);
  Ref on_error = Ref::borrow(on_error_.get());
  // The fourth argument only where it is true, so that a callback of three still serves the
  // failures.
  Ref result =
      Ref::steal(PyObject_CallFunctionObjArgs(on_error.get(), keep_label.get(), member_obj.get(),
                                              text_obj.get(), read ? Py_True : nullptr, nullptr));
  return static_cast<bool>(result);
}

bool RecordingFeed::add_input(PyObject* label, PyObject* payload, PyObject* member,
                              PyObject* file_offset, PyObject* markets) {
  Pending pending{Ref::borrow(label), nullptr, {}};
  replay::LoaderInput input{};
  if (member != nullptr && member != Py_None) {
    const char* utf8 = PyUnicode_Check(member) ? PyUnicode_AsUTF8(member) : nullptr;
    if (utf8 == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an input's member must be a str");
      return false;
    }
    pending.member = utf8;
  }
  if (file_offset != nullptr && file_offset != Py_None) {
    const unsigned long long offset = PyLong_AsUnsignedLongLong(file_offset);
    if (PyErr_Occurred()) return false;
    input.file_offset = offset;
  }
  if (markets != nullptr && markets != Py_None && !add_markets(markets, input.markets)) {
    return false;
  }
  if (PyUnicode_Check(payload)) {
    // The bytes os.fsencode gives: a path that is not UTF-8 comes with surrogates for them.
    Ref path = Ref::steal(PyUnicode_EncodeFSDefault(payload));
    if (!path) return false;
    input.kind = replay::LoaderInput::Kind::kFile;
    input.path_or_failure.assign(PyBytes_AS_STRING(path.get()),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(path.get())));
  } else if (PyExceptionInstance_Check(payload)) {
    Ref text = Ref::steal(PyObject_Str(payload));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) return false;
    input.kind = replay::LoaderInput::Kind::kFailure;
    input.path_or_failure = utf8;
  } else {
    pending.buffer = std::make_unique<HeldBuffer>(payload);
    if (!pending.buffer->held()) return false;
    input.kind = replay::LoaderInput::Kind::kMemory;
    input.bytes = pending.buffer->bytes();
  }
  pending_.push_back(std::move(pending));
  loader_->add(std::move(input));
  return true;
}

// Keeps the loader an input ahead of what the caller replays for each of its workers: an input
// being read while the caller replays the one before.
bool RecordingFeed::top_up() {
  while (inputs_ && loader_->inputs_in_flight() < threads_ + 1) {
    Ref pair = Ref::steal(PyIter_Next(inputs_.get()));
    if (!pair) {
      if (PyErr_Occurred()) return false;
      inputs_ = Ref();  // exhausted for good
      break;
    }
    PyObject* label = nullptr;
    PyObject* payload = nullptr;
    PyObject* member = nullptr;
    PyObject* file_offset = nullptr;
    PyObject* markets = nullptr;
    if (!PyArg_ParseTuple(pair.get(), "OO|OOO", &label, &payload, &member, &file_offset,
                          &markets) ||
        !add_input(label, payload, member, file_offset, markets)) {
      return false;
    }
  }
  return true;
}

void RecordingFeed::forget_inputs_before(std::uint64_t input) {
  while (first_pending_ < input && !pending_.empty()) {
    pending_.pop_front();
    ++first_pending_;
  }
}

// Whether the recording just read is replayed, by the rule of the exchange's layout: its folder
// is its member's within the input's file, or a lone file's own.
bool RecordingFeed::admitted(const MessageStore& store) {
  if (!layout_) {
    layout_ = std::make_unique<replay::ExchangeLayout>(
        filter_ != nullptr ? filter_->event_files() : replay::EventFiles::kOnce);
  }
  std::string file;
  if (PyUnicode_Check(label_.get())) {
    Ref stored_label = Ref::steal(PyUnicode_EncodeFSDefault(label_.get()));
    if (!stored_label) return false;
    file.assign(PyBytes_AS_STRING(stored_label.get()),
                static_cast<std::size_t>(PyBytes_GET_SIZE(stored_label.get())));
  }
  if (member_.empty()) return layout_->admit(std::string(replay::folder_of(file)), file, store);
  std::string folder = file;
  folder += '\0';
  folder += replay::folder_of(member_);
  return layout_->admit(folder, member_, store);
}

std::unique_ptr<MessageStore> RecordingFeed::next() {
  using Kind = replay::LoadOutcome::Kind;
  if (!inputs_ && !loader_) return nullptr;  // finished, or stopped for good
  if (!loader_) {
    loader_ = std::make_unique<replay::BackgroundLoader>(
        sources::Limits{.max_recording_bytes = max_recording_bytes_}, filter_, until_, threads_);
  }
  if (loader_->forked()) {
    stop();
    inputs_ = Ref();
    PyErr_SetString(PyExc_RuntimeError,
                    "this replay was reading ahead on a thread when the process forked: it "
                    "cannot go on in the child (start a new one there)");
    return nullptr;
  }
  for (;;) {
    if (!top_up()) return nullptr;
    std::optional<replay::LoadOutcome> outcome;
    PyThreadState* thread = PyEval_SaveThread();  // the worker may be waiting for this one
    outcome = loader_->take(kSignalPoll);
    PyEval_RestoreThread(thread);
    if (!outcome) {
      if (loader_->idle()) {
        forget_inputs_before(first_pending_ + pending_.size());
        if (inputs_) continue;
        // Done: the worker goes now rather than with the iterator, so that a process that
        // forks later (multiprocessing) does so with no thread of ours running.
        stop();
        return nullptr;
      }
      if (PyErr_CheckSignals() < 0) {
        stop();
        inputs_ = Ref();
        return nullptr;
      }
      continue;
    }
    forget_inputs_before(outcome->input);
    if (pending_.empty()) continue;  // cannot happen: the input is still pending
    label_ = Ref::borrow(pending_.front().label.get());
    // The member given with bytes that are one recording names it; an archive's own members
    // are named as the reader meets them.
    const std::string& given = pending_.front().member;
    member_ = outcome->member.empty() && !given.empty() ? given : shown_name(outcome->member);
    stored_ = outcome->stored;
    switch (outcome->kind) {
      case Kind::kRecording:
        if (!admitted(*outcome->store)) {
          if (PyErr_Occurred()) return nullptr;
          continue;
        }
        if (!outcome->notice.empty() && !report(label_.get(), member_, outcome->notice, true)) {
          return nullptr;
        }
        return std::move(outcome->store);
      case Kind::kFailed:
        if (!report(label_.get(), member_, outcome->error)) return nullptr;
        continue;
      case Kind::kNotice:
        if (!report(label_.get(), member_, outcome->notice, true)) return nullptr;
        continue;
      case Kind::kInterrupted:
        return nullptr;
      case Kind::kRuledOut:
        matched_unread_ |= outcome->matched;
        continue;
    }
  }
}

}  // namespace vantrel::py
