// What a reader hands its lines to, and how a read ends.
//
// A reader hands every non-blank trimmed line to a LineHandler, in file order, as soon as it is
// complete; it never holds more than its line window (kLineBufferSize, plus one line longer than
// that) of decoded text. Errors are values: the first failure stops the read and its text is
// kept, exactly as Python will see it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantrel {

class LineHandler {
 public:
  virtual ~LineHandler() = default;
  // Returns false to stop the read; the handler then keeps its own error.
  virtual bool on_line(std::string_view trimmed_line) = 0;
  // A line with nothing but white space, which is not handed out: for handlers that count lines.
  virtual void on_blank_line() {}
  // Polled every few MB of input (and, for a file taken by its name, once a read has waited for
  // input) so that a long load can be cut short; false stops the read.
  virtual bool keep_going() { return true; }
  // An archive's member is about to be read, under the path the archive stores; false passes
  // it over unread, and the reader goes on to the next member.
  virtual bool on_recording(std::string_view /*member*/) { return true; }
};

enum class ReadStatus {
  kOk,
  kFailed,   // message holds the error text
  kStopped,  // the handler returned false; the handler holds the reason
};

struct ReadResult {
  ReadStatus status = ReadStatus::kOk;
  std::string message;
};

// The window lines are cut in: big enough that a line rarely outgrows it (a longer one is carried
// on the side), small enough to add little to the peak memory of a load.
inline constexpr std::size_t kLineBufferSize = std::size_t{256} << 10;

}  // namespace vantrel
