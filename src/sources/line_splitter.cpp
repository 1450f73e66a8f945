#include "sources/line_splitter.hpp"

#include <algorithm>
#include <cstring>

#include "sources/utf8.hpp"

namespace vantrel {
namespace {

constexpr char kInvalidUtf8[] = "stream did not contain valid UTF-8";
constexpr std::size_t kPollInterval = std::size_t{4} << 20;
// A carried line that grew this large is not worth keeping memory for after it is done.
constexpr std::size_t kCarryKeepCapacity = 4 * kLineBufferSize;

const char* last_lf(const char* begin, std::size_t size) {
#if defined(__GLIBC__)
  return static_cast<const char*>(::memrchr(begin, '\n', size));
#else
  for (const char* p = begin + size; p != begin;) {
    if (*--p == '\n') return p;
  }
  return nullptr;
#endif
}

}  // namespace

LineSplitter::LineSplitter(LineHandler& handler) : handler_(&handler), window_(kLineBufferSize) {}

void LineSplitter::restart(LineHandler& handler) {
  handler_ = &handler;
  pending_ = 0;
  carrying_ = false;
  if (carry_.capacity() > kCarryKeepCapacity) {
    std::string().swap(carry_);
  } else {
    carry_.clear();
  }
  since_poll_ = 0;
  outcome_ = ReadStatus::kOk;
}

bool LineSplitter::commit(std::size_t n) {
  if (!split(n)) return false;
  since_poll_ += n;
  if (since_poll_ >= kPollInterval) return poll();
  return true;
}

bool LineSplitter::poll() {
  since_poll_ = 0;
  if (handler_->keep_going()) return true;
  outcome_ = ReadStatus::kStopped;
  return false;
}

bool LineSplitter::finish() {
  if (carrying_) {
    carrying_ = false;
    return emit_checked(carry_.data(), carry_.size());
  }
  const std::size_t size = pending_;
  pending_ = 0;
  return emit_checked(window(), size);
}

ReadResult LineSplitter::result() const {
  if (outcome_ == ReadStatus::kFailed) return {ReadStatus::kFailed, kInvalidUtf8};
  return {outcome_, {}};
}

bool LineSplitter::split(std::size_t n) {
  char* const window = this->window();
  const std::size_t filled = pending_ + n;
  std::size_t start = 0;
  if (carrying_) {
    const auto* lf = static_cast<const char*>(std::memchr(window, '\n', n));
    if (lf == nullptr) {
      carry_.append(window, n);
      return true;
    }
    carry_.append(window, static_cast<std::size_t>(lf - window));
    carrying_ = false;
    const bool ok = emit_checked(carry_.data(), carry_.size());
    if (carry_.capacity() > kCarryKeepCapacity) {
      std::string().swap(carry_);
    } else {
      carry_.clear();
    }
    if (!ok) return false;
    start = static_cast<std::size_t>(lf - window) + 1;
  }
  // The unfinished line kept from before holds no LF, so only the new bytes need a look.
  const std::size_t fresh = std::max(start, pending_);
  if (const char* lf = last_lf(window + fresh, filled - fresh)) {
    if (!emit_lines(window + start, lf + 1)) return false;
    start = static_cast<std::size_t>(lf - window) + 1;
  }
  const std::size_t rest = filled - start;
  if (rest == kLineBufferSize) {
    carry_.assign(window, rest);
    carrying_ = true;
    pending_ = 0;
  } else {
    if (start != 0 && rest != 0) std::memmove(window, window + start, rest);
    pending_ = rest;
  }
  return true;
}

// [begin, end) holds whole lines, each ending in LF. One UTF-8 pass covers all of them:
// LF cannot sit inside a multi-byte sequence, so the block is valid exactly when every line
// is, and a fault's offset tells which line to stop before.
bool LineSplitter::emit_lines(const char* begin, const char* end) {
  const std::size_t bad = utf8::find_invalid(begin, static_cast<std::size_t>(end - begin));
  const char* const stop = bad == utf8::kAllValid ? end : begin + bad;
  const char* line = begin;
  while (line < stop) {
    const auto* lf =
        static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
    if (lf > stop) break;
    if (!emit(line, lf)) return false;
    line = lf + 1;
  }
  if (bad == utf8::kAllValid) return true;
  outcome_ = ReadStatus::kFailed;
  return false;
}

bool LineSplitter::emit_checked(const char* begin, std::size_t size) {
  if (!utf8::is_valid({begin, size})) {
    outcome_ = ReadStatus::kFailed;
    return false;
  }
  return emit(begin, begin + size);
}

// CR before the LF needs no case of its own: it is White_Space, so trimming takes it.
bool LineSplitter::emit(const char* begin, const char* end) {
  const std::string_view line = utf8::trim({begin, static_cast<std::size_t>(end - begin)});
  if (line.empty()) {
    handler_->on_blank_line();
    return true;
  }
  if (handler_->on_line(line)) return true;
  outcome_ = ReadStatus::kStopped;
  return false;
}

}  // namespace vantrel
