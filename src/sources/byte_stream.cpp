#include "sources/byte_stream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sources/os_error.hpp"

namespace vantrel::sources {
namespace {

constexpr std::size_t kInputBufferSize = std::size_t{64} << 10;
// A decoder asks for more input in one piece only to see a whole header; gzip's longest fit
// in this with room to spare.
constexpr std::size_t kMaxInputBufferSize = std::size_t{1} << 20;

}  // namespace

bool ByteStream::fail(std::string text) {
  if (error_.empty()) error_ = text.empty() ? "read failed" : std::move(text);
  return false;
}

bool ByteStream::read_full(std::span<Byte> out, std::size_t& got) {
  got = 0;
  while (got < out.size()) {
    std::size_t n = 0;
    if (!read(out.subspan(got), n)) return false;
    if (n == 0) break;
    got += n;
  }
  return true;
}

bool ByteStream::skip(std::uint64_t count, std::uint64_t& skipped) {
  Byte scratch[16384];
  skipped = 0;
  while (skipped < count) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(count - skipped, sizeof scratch));
    std::size_t n = 0;
    if (!read({scratch, want}, n)) return false;
    if (n == 0) break;
    skipped += n;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------

// Opening a FIFO for reading waits for a writer, where nothing could stop the wait. On Linux it
// opens at once without blocking, and a poll waits for the writer instead: one that never came
// reports no hang-up, so the wait goes on, sliced, until data, the writer's close or a cancel.
// Elsewhere the open blocks as it always did.
#if defined(__linux__)
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
constexpr bool kPolledReads = true;
#else
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC;
constexpr bool kPolledReads = false;
#endif
constexpr int kWaitSliceMs = 100;

std::unique_ptr<Input> Input::open_file(const std::string& path, std::function<bool()> keep_waiting,
                                        Ask ask) {
  std::unique_ptr<Input> input(new Input());
  input->keep_waiting_ = std::move(keep_waiting);
  input->ask_ = ask;
  input->fd_ = ::open(path.c_str(), kOpenFlags);
  if (input->fd_ < 0) {
    input->fail(os_error_text(errno));
    return input;
  }
  struct stat info {};
  if (::fstat(input->fd_, &info) != 0) {
    input->fail(os_error_text(errno));
  } else {
    input->waits_ = kPolledReads && !S_ISREG(info.st_mode);
  }
  return input;
}

// False once told to give up, or when the poll itself fails.
bool Input::wait_readable(bool waited) {
  for (;; waited = true) {
    const bool ask = waited || ask_ == Ask::kBeforeEveryRead;
    if (ask && keep_waiting_ && !keep_waiting_()) return fail("reading was cancelled");
    pollfd ready{fd_, POLLIN, 0};
    const int n = ::poll(&ready, 1, kWaitSliceMs);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return fail(os_error_text(errno));
  }
}

std::unique_ptr<Input> Input::memory(std::string_view bytes) {
  std::unique_ptr<Input> input(new Input());
  input->memory_ = bytes;
  return input;
}

Input::~Input() {
  if (fd_ >= 0) ::close(fd_);
}

bool Input::read(std::span<Byte> out, std::size_t& got) {
  got = 0;
  if (failed()) return false;
  if (fd_ < 0) {
    got = std::min(out.size(), memory_.size() - memory_pos_);
    std::memcpy(out.data(), memory_.data() + memory_pos_, got);
    memory_pos_ += got;
  } else {
    ssize_t n;
    for (bool interrupted = false;; interrupted = errno == EINTR) {
      if (waits_ && !wait_readable(interrupted)) return false;
      n = ::read(fd_, out.data(), out.size());
      if (n >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) break;
    }
    if (n < 0) return fail(os_error_text(errno));
    got = static_cast<std::size_t>(n);
  }
  bytes_read_ += got;
  return true;
}

bool Input::skip(std::uint64_t count, std::uint64_t& skipped) {
  skipped = 0;
  if (failed()) return false;
  if (fd_ < 0) {
    skipped = std::min<std::uint64_t>(count, memory_.size() - memory_pos_);
    memory_pos_ += static_cast<std::size_t>(skipped);
  } else if (waits_) {
    return ByteStream::skip(count, skipped);
  } else {
    // A member passed over unread: its bytes need not come from the disk at all.
    std::uint64_t size = 0;
    if (!this->size(size)) return false;
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) return fail(os_error_text(errno));
    const auto here = static_cast<std::uint64_t>(at);
    skipped = here < size ? std::min(count, size - here) : 0;
    if (::lseek(fd_, static_cast<off_t>(here + skipped), SEEK_SET) < 0) {
      return fail(os_error_text(errno));
    }
  }
  bytes_read_ += skipped;
  return true;
}

bool Input::size(std::uint64_t& size) {
  if (failed()) return false;
  if (fd_ < 0) {
    size = memory_.size();
    return true;
  }
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return fail(os_error_text(errno));
  size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

bool Input::read_at(std::uint64_t offset, std::span<Byte> out, std::size_t& got) {
  got = 0;
  if (failed()) return false;
  if (fd_ < 0) {
    if (offset < memory_.size()) {
      got = std::min<std::uint64_t>(out.size(), memory_.size() - offset);
      std::memcpy(out.data(), memory_.data() + offset, got);
    }
  } else {
    ssize_t n;
    do {
      n = ::pread(fd_, out.data(), out.size(), static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return fail(os_error_text(errno));
    got = static_cast<std::size_t>(n);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------

PrefixedStream::PrefixedStream(std::span<const Byte> head, ByteStream& rest)
    : head_(head.begin(), head.end()), rest_(rest) {}

bool PrefixedStream::read(std::span<Byte> out, std::size_t& got) {
  got = 0;
  if (failed()) return false;
  if (head_pos_ < head_.size()) {
    got = std::min(out.size(), head_.size() - head_pos_);
    std::memcpy(out.data(), head_.data() + head_pos_, got);
    head_pos_ += got;
    return true;
  }
  return rest_.read(out, got) || fail(rest_.error());
}

bool PrefixedStream::skip(std::uint64_t count, std::uint64_t& skipped) {
  skipped = 0;
  if (failed()) return false;
  const std::uint64_t from_head = std::min<std::uint64_t>(count, head_.size() - head_pos_);
  head_pos_ += static_cast<std::size_t>(from_head);
  std::uint64_t rest = 0;
  const bool ok = from_head == count || rest_.skip(count - from_head, rest);
  skipped = from_head + rest;
  return ok || fail(rest_.error());
}

// ---------------------------------------------------------------------------------------------

LimitedStream::LimitedStream(ByteStream& inner, std::uint64_t size, std::string truncated_text)
    : inner_(inner), remaining_(size), truncated_text_(std::move(truncated_text)) {}

bool LimitedStream::read(std::span<Byte> out, std::size_t& got) {
  got = 0;
  if (failed()) return false;
  if (remaining_ == 0) return true;
  out = out.first(static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), remaining_)));
  if (!inner_.read(out, got)) return fail(inner_.error());
  if (got == 0) return fail(truncated_text_);
  remaining_ -= got;
  return true;
}

// Passed on, so that a member is stepped over as cheaply as its archive allows.
bool LimitedStream::skip(std::uint64_t count, std::uint64_t& skipped) {
  skipped = 0;
  if (failed()) return false;
  const std::uint64_t want = std::min(count, remaining_);
  if (!inner_.skip(want, skipped)) return fail(inner_.error());
  remaining_ -= skipped;
  if (skipped < want) return fail(truncated_text_);
  return true;
}

// ---------------------------------------------------------------------------------------------

RangeStream::RangeStream(Input& input, std::uint64_t offset, std::uint64_t size)
    : input_(input), offset_(offset), remaining_(size) {}

bool RangeStream::read(std::span<Byte> out, std::size_t& got) {
  got = 0;
  if (failed()) return false;
  if (remaining_ == 0) return true;
  out = out.first(static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), remaining_)));
  if (!input_.read_at(offset_, out, got)) return fail(input_.error());
  // The index said the data is there; the file may have been cut short since.
  if (got == 0) return fail("truncated zip archive");
  offset_ += got;
  remaining_ -= got;
  input_.record_progress(offset_);
  return true;
}

// ---------------------------------------------------------------------------------------------

DecodingStream::DecodingStream(ByteStream& inner, std::unique_ptr<Codec> codec, AfterEnd after_end)
    : inner_(inner), codec_(std::move(codec)), after_end_(after_end), buffer_(kInputBufferSize) {}

bool DecodingStream::read(std::span<Byte> out, std::size_t& got) {
  got = 0;
  if (failed()) return false;
  while (!finished_) {
    const CodecStep step = codec_->run({data() + begin_, end_ - begin_}, input_ended_, out);
    begin_ += step.consumed;
    got = step.produced;
    switch (step.result) {
      case CodecResult::kInvalid:
        return fail(std::string("invalid ") + codec_->name() + " data");
      case CodecResult::kTruncated:
        return fail(std::string("truncated ") + codec_->name() + " data");
      case CodecResult::kEnd:
        finished_ = true;
        return after_end_ == AfterEnd::kIgnored || find_trailing();
      case CodecResult::kMore:
        break;
    }
    if (got != 0) return true;
    if (step.consumed != 0) continue;
    if (input_ended_) return fail(std::string("truncated ") + codec_->name() + " data");
    if (!refill()) return false;
  }
  return true;
}

// Appends input behind what the decoder has not taken yet, keeping that in one piece.
bool DecodingStream::refill() {
  if (begin_ != 0) {
    std::memmove(data(), data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) {
    if (buffer_.size() >= kMaxInputBufferSize) {
      return fail(std::string("invalid ") + codec_->name() + " data");
    }
    base::ScratchBuffer larger(buffer_.size() * 2);
    std::memcpy(larger.data(), buffer_.data(), end_);
    buffer_ = std::move(larger);
  }
  std::size_t n = 0;
  if (!inner_.read({data() + end_, buffer_.size() - end_}, n)) return fail(inner_.error());
  end_ += n;
  taken_ += n;
  input_ended_ = n == 0;
  return true;
}

bool DecodingStream::find_trailing() {
  const std::span<const Byte> held = codec_->taken_past_end();
  const std::uint64_t data_end = taken_ - (end_ - begin_) - held.size();
  if (std::any_of(held.begin(), held.end(), [](Byte c) { return c != 0; })) {
    trailing_at_ = data_end;
    return true;
  }
  for (;;) {
    if (std::any_of(data() + begin_, data() + end_, [](Byte c) { return c != 0; })) {
      trailing_at_ = data_end;
      return true;
    }
    begin_ = end_;
    if (input_ended_) return true;
    if (!refill()) return false;
  }
}

// ---------------------------------------------------------------------------------------------

CheckedStream::CheckedStream(ByteStream& inner, std::uint64_t size, std::uint32_t crc,
                             std::string bad_text)
    : inner_(inner), expected_size_(size), expected_crc_(crc), bad_text_(std::move(bad_text)) {}

bool CheckedStream::read(std::span<Byte> out, std::size_t& got) {
  got = 0;
  if (failed()) return false;
  if (!inner_.read(out, got)) return fail(inner_.error());
  size_ += got;
  crc_ = crc32_update(crc_, out.data(), got);
  if (size_ > expected_size_ || (got == 0 && (size_ != expected_size_ || crc_ != expected_crc_))) {
    return fail(bad_text_);
  }
  return true;
}

}  // namespace vantrel::sources
