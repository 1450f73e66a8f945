// The recordings of a source, one after another, each loaded whole into a message store.
//
// Inputs come from a Python iterator of (label, payload) pairs, a payload being a path (str) or
// an object with the buffer protocol; each is read by a RecordingReader, so a compressed file
// or every member of an archive comes out as its own recording. A recording that cannot be read
// is handed to `on_error(label, member, text)` before anything of it is used; the callback
// raises to stop, or returns to go on with the next one.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>

#include "messages/message_store.hpp"
#include "python/ref.hpp"

namespace vantrel::sources {
class RecordingReader;
}

namespace vantrel::py {

class RecordingFeed {
 public:
  RecordingFeed(Ref inputs, Ref on_error, std::uint64_t max_recording_bytes);
  RecordingFeed(RecordingFeed&&) noexcept;
  RecordingFeed& operator=(RecordingFeed&&) noexcept;
  ~RecordingFeed();

  // The next recording; null at the end (no exception set) or when stopped (exception set:
  // on_error raised, Ctrl-C, or the inputs iterator failed).
  std::unique_ptr<MessageStore> next();

  // Where the recording last returned came from: the input's label, and its archive member
  // ("" for a lone file).
  PyObject* label() const { return label_.get(); }
  const std::string& member() const { return member_; }
  // Input bytes read so far of the current input.
  std::uint64_t bytes_read() const;

  int traverse(visitproc visit, void* arg) const;
  void clear();

 private:
  class HeldBuffer;
  bool open_next_input();
  void end_input();
  bool report(const std::string& member, const std::string& text);

  Ref inputs_;
  Ref on_error_;
  std::uint64_t max_recording_bytes_;
  Ref label_;
  std::string member_;
  std::unique_ptr<HeldBuffer> buffer_;
  std::unique_ptr<sources::RecordingReader> reader_;
};

}  // namespace vantrel::py
