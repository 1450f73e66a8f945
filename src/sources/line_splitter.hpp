// Cuts decoded text into lines inside one fixed window. Complete lines are checked as UTF-8,
// trimmed and handed out where they lie; only the unfinished last line moves, to the front of
// the window, and a line that outgrows the whole window continues on the side.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "base/scratch.hpp"
#include "sources/line_handler.hpp"

namespace vantrel {

class LineSplitter {
 public:
  explicit LineSplitter(LineHandler& handler);

  // Starts on a new text for `handler`, dropping whatever is left of the previous one.
  void restart(LineHandler& handler);

  // Where the next bytes of text go; never empty.
  std::span<unsigned char> space() {
    return {reinterpret_cast<unsigned char*>(window_.data()) + pending_,
            kLineBufferSize - pending_};
  }
  // `n` bytes were written to the front of space(). False stops the read; result() says why.
  bool commit(std::size_t n);

  // Polls the handler between reads that do not pass through commit().
  bool poll();
  // The input ended: whatever is left is the last line, with no LF.
  bool finish();
  // Why the last false came: an invalid line, or the handler's stop.
  ReadResult result() const;
  // Whether the handler said stop, in a line or when polled.
  bool stopped() const { return outcome_ == ReadStatus::kStopped; }

 private:
  bool split(std::size_t n);
  bool emit_lines(const char* begin, const char* end);
  bool emit_checked(const char* begin, std::size_t size);
  bool emit(const char* begin, const char* end);

  char* window() const { return reinterpret_cast<char*>(window_.data()); }

  LineHandler* handler_;
  base::ScratchBuffer window_;
  std::size_t pending_ = 0;  // bytes of an unfinished line at the front of window_
  bool carrying_ = false;
  std::string carry_;
  std::size_t since_poll_ = 0;
  ReadStatus outcome_ = ReadStatus::kOk;
};

}  // namespace vantrel
