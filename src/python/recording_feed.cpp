#include "python/recording_feed.hpp"

#include <utility>

#include "replay/load.hpp"
#include "sources/recording_reader.hpp"

namespace vantrel::py {

// A payload held for as long as its reader reads it: the reader sees the bytes in place.
class RecordingFeed::HeldBuffer {
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

namespace {

bool no_pending_signal(void*) {
  return PyErr_CheckSignals() == 0;
}

Ref decode(const std::string& text, const char* errors) {
  return Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), errors));
}

}  // namespace

RecordingFeed::RecordingFeed(Ref inputs, Ref on_error, std::uint64_t max_recording_bytes)
    : inputs_(std::move(inputs)),
      on_error_(std::move(on_error)),
      max_recording_bytes_(max_recording_bytes) {}
RecordingFeed::RecordingFeed(RecordingFeed&&) noexcept = default;
RecordingFeed& RecordingFeed::operator=(RecordingFeed&&) noexcept = default;
RecordingFeed::~RecordingFeed() = default;

std::uint64_t RecordingFeed::bytes_read() const {
  return reader_ ? reader_->bytes_read() : 0;
}

int RecordingFeed::traverse(visitproc visit, void* arg) const {
  Py_VISIT(inputs_.get());
  Py_VISIT(on_error_.get());
  Py_VISIT(label_.get());
  return 0;
}

void RecordingFeed::clear() {
  end_input();
  inputs_ = Ref();
  on_error_ = Ref();
}

void RecordingFeed::end_input() {
  reader_.reset();
  if (buffer_) buffer_->release();
}

bool RecordingFeed::report(const std::string& member, const std::string& text) {
  // Member names are bytes as the archive stores them; undecodable ones survive as escapes.
  Ref member_obj = member.empty() ? Ref::borrow(Py_None) : decode(member, "surrogateescape");
  if (!member_obj) return false;
  Ref text_obj = decode(text, "replace");
  if (!text_obj) return false;
  Ref label = Ref::borrow(label_.get());
  Ref on_error = Ref::borrow(on_error_.get());
  Ref result = Ref::steal(PyObject_CallFunctionObjArgs(on_error.get(), label.get(),
                                                       member_obj.get(), text_obj.get(), nullptr));
  return static_cast<bool>(result);
}

bool RecordingFeed::open_next_input() {
  if (!inputs_) return false;
  Ref pair = Ref::steal(PyIter_Next(inputs_.get()));
  if (!pair) {
    if (!PyErr_Occurred()) inputs_ = Ref();  // exhausted for good
    return false;
  }
  PyObject* label = nullptr;
  PyObject* payload = nullptr;
  if (!PyArg_ParseTuple(pair.get(), "OO", &label, &payload)) return false;
  label_ = Ref::borrow(label);
  member_.clear();
  const sources::Limits limits{.max_recording_bytes = max_recording_bytes_};
  if (PyUnicode_Check(payload)) {
    Py_ssize_t size = 0;
    const char* path = PyUnicode_AsUTF8AndSize(payload, &size);
    if (path == nullptr) return false;
    reader_ = std::make_unique<sources::RecordingReader>(sources::RecordingReader::from_file(
        std::string(path, static_cast<std::size_t>(size)), limits));
    return true;
  }
  if (!buffer_) buffer_ = std::make_unique<HeldBuffer>();
  if (!buffer_->hold(payload)) return false;
  reader_ = std::make_unique<sources::RecordingReader>(
      sources::RecordingReader::from_memory(buffer_->bytes(), limits));
  return true;
}

std::unique_ptr<MessageStore> RecordingFeed::next() {
  using Status = sources::RecordingReader::Status;
  for (;;) {
    if (!reader_ && !open_next_input()) return nullptr;
    auto store = std::make_unique<MessageStore>();
    replay::StoreLines lines(*store, no_pending_signal, nullptr);
    const Status status = reader_->next(lines);
    member_ = reader_->member();
    switch (status) {
      case Status::kRecording:
        store->finish();
        replay::release_free_heap(lines.text_bytes());
        return store;
      case Status::kEnd:
        end_input();
        continue;
      case Status::kStopped:
      case Status::kFailed: {
        const bool go_on = reader_->can_continue();
        const std::string text = status == Status::kFailed ? reader_->error() : lines.error();
        const bool interrupted = status == Status::kStopped && lines.interrupted();
        if (!go_on) end_input();
        if (interrupted || !report(member_, text)) return nullptr;
        continue;
      }
    }
  }
}

}  // namespace vantrel::py
