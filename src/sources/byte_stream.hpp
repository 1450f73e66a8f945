// Bytes pulled front to back through a chain of streams: the input, a decoder, an archive
// member's slice, a decoder of the member's own compression. Each link holds a fixed buffer at
// most, so a chain holds little however long the data it carries.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/scratch.hpp"
#include "sources/codec.hpp"

namespace vantrel::sources {

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // Puts the next bytes at the front of `out` (never empty) and sets `got`; 0 at the end.
  // False on failure, with error() saying why; a failed stream stays failed.
  virtual bool read(std::span<Byte> out, std::size_t& got) = 0;

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

  // Reads until `out` is full or the stream ends.
  bool read_full(std::span<Byte> out, std::size_t& got);
  // Reads and drops up to `count` bytes; `skipped` tells how many there were. Streams that
  // can move without reading say so by overriding it.
  virtual bool skip(std::uint64_t count, std::uint64_t& skipped);

 protected:
  bool fail(std::string text);

 private:
  std::string error_;
};

// The file or the bytes a reader was given: read forwards as a stream, or at any offset for
// archives whose index is at the end. Keeps how far into the input reading has got.
class Input final : public ByteStream {
 public:
  // When a read of a FIFO or device asks whether to go on: before every read (a flag that
  // another thread sets, cheap to look at), or only once the input has kept it waiting (Python's
  // signal check, which a pipe that has data should not stop for).
  enum class Ask { kBeforeEveryRead, kOnceWaiting };

  // A file that is not a regular one (a FIFO, a device) may make a read wait for its writer;
  // with `keep_waiting` given, the wait asks it every few tenths of a second and fails once it
  // says no, so that a read can always be stopped: from another thread, or by Ctrl-C.
  static std::unique_ptr<Input> open_file(const std::string& path,
                                          std::function<bool()> keep_waiting = {},
                                          Ask ask = Ask::kBeforeEveryRead);
  static std::unique_ptr<Input> memory(std::string_view bytes);
  ~Input() override;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  bool read(std::span<Byte> out, std::size_t& got) override;
  // Moves on without reading where it can: bytes in memory, a regular file (by seeking); a FIFO
  // or device is read and dropped. As a read would, it stops at the end.
  bool skip(std::uint64_t count, std::uint64_t& skipped) override;

  // Random access, for zip: the size of the whole input, and reads at an offset.
  bool size(std::uint64_t& size);
  bool read_at(std::uint64_t offset, std::span<Byte> out, std::size_t& got);

  // Bytes read forwards, or the furthest offset reached by record_progress().
  std::uint64_t bytes_read() const { return bytes_read_; }
  // Reads at offsets jump about (a zip's directory sits at its end); the data read in order
  // says how far a walk has got.
  void record_progress(std::uint64_t offset) { bytes_read_ = std::max(bytes_read_, offset); }

 private:
  Input() = default;
  // `waited`: the read was already kept waiting (a signal cut it short).
  bool wait_readable(bool waited);

  int fd_ = -1;
  bool waits_ = false;  // not a regular file: reads are polled for
  std::function<bool()> keep_waiting_;
  Ask ask_ = Ask::kBeforeEveryRead;
  std::string_view memory_;
  std::size_t memory_pos_ = 0;
  std::uint64_t bytes_read_ = 0;
};

// A few bytes already read from `rest` (to tell its format), then the rest.
class PrefixedStream final : public ByteStream {
 public:
  PrefixedStream(std::span<const Byte> head, ByteStream& rest);
  bool read(std::span<Byte> out, std::size_t& got) override;
  bool skip(std::uint64_t count, std::uint64_t& skipped) override;

 private:
  std::vector<Byte> head_;
  std::size_t head_pos_ = 0;
  ByteStream& rest_;
};

// The next `size` bytes of `inner`: a tar member. Ending before them is `truncated_text`.
class LimitedStream final : public ByteStream {
 public:
  LimitedStream(ByteStream& inner, std::uint64_t size, std::string truncated_text);
  bool read(std::span<Byte> out, std::size_t& got) override;
  bool skip(std::uint64_t count, std::uint64_t& skipped) override;
  std::uint64_t remaining() const { return remaining_; }

 private:
  ByteStream& inner_;
  std::uint64_t remaining_;
  std::string truncated_text_;
};

// Bytes `offset` to `offset + size` of an input read at offsets: a zip member's data.
class RangeStream final : public ByteStream {
 public:
  RangeStream(Input& input, std::uint64_t offset, std::uint64_t size);
  bool read(std::span<Byte> out, std::size_t& got) override;

 private:
  Input& input_;
  std::uint64_t offset_;
  std::uint64_t remaining_;
};

// `inner` decoded by `codec`. Failures read "invalid <name> data" or "truncated <name> data".
class DecodingStream final : public ByteStream {
 public:
  // What becomes of the input after the end of the data. kIgnored: it is never read. kFound:
  // it is read through to the first byte that is not zero, and trailing_at() then says where
  // it began; zeros alone are padding (gzip(1) passes them over without a word), and reading
  // them all is what tells them apart from data.
  enum class AfterEnd { kIgnored, kFound };

  DecodingStream(ByteStream& inner, std::unique_ptr<Codec> codec,
                 AfterEnd after_end = AfterEnd::kIgnored);
  bool read(std::span<Byte> out, std::size_t& got) override;

  // Once the data has ended, with kFound: where in `inner`'s bytes it ended, when something
  // other than zeros follows it.
  std::optional<std::uint64_t> trailing_at() const { return trailing_at_; }

 private:
  bool refill();
  bool find_trailing();
  Byte* data() const { return reinterpret_cast<Byte*>(buffer_.data()); }

  ByteStream& inner_;
  std::unique_ptr<Codec> codec_;
  AfterEnd after_end_;
  base::ScratchBuffer buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::uint64_t taken_ = 0;  // bytes read from `inner` so far
  bool input_ended_ = false;
  bool finished_ = false;
  std::optional<std::uint64_t> trailing_at_;
};

// Passes `inner` on and, at its end, checks its length and CRC-32 against what an index said.
class CheckedStream final : public ByteStream {
 public:
  CheckedStream(ByteStream& inner, std::uint64_t size, std::uint32_t crc, std::string bad_text);
  bool read(std::span<Byte> out, std::size_t& got) override;

 private:
  ByteStream& inner_;
  std::uint64_t expected_size_;
  std::uint32_t expected_crc_;
  std::uint64_t size_ = 0;
  std::uint32_t crc_ = 0;
  std::string bad_text_;
};

}  // namespace vantrel::sources
