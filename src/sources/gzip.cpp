#include "sources/gzip.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#ifdef VANTREL_USE_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#else
#define ZLIB_CONST
#include <zlib.h>
#endif

#include "base/scratch.hpp"

namespace vantrel::sources {
namespace {

// Both inflaters count bytes in 32-bit fields.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

}  // namespace

std::uint32_t crc32_update(std::uint32_t crc, const Byte* data, std::size_t size) {
#ifdef VANTREL_USE_ISAL
  return crc32_gzip_refl(crc, data, size);
#else
  while (size > 0) {
    const std::size_t step = std::min(size, kMaxChunk);
    crc = static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(step)));
    data += step;
    size -= step;
  }
  return crc;
#endif
}

namespace gzip {
namespace {

constexpr Byte kMagic0 = 0x1f;
constexpr Byte kMagic1 = 0x8b;
constexpr Byte kMethodDeflate = 8;
constexpr Byte kFlagHeaderCrc = 0x02;
constexpr Byte kFlagExtra = 0x04;
constexpr Byte kFlagName = 0x08;
constexpr Byte kFlagComment = 0x10;
constexpr Byte kFlagsReserved = 0xE0;
constexpr std::size_t kFixedHeaderSize = 10;
constexpr std::size_t kTrailerSize = 8;
constexpr std::size_t kMaxFieldLength = 65535;

std::uint32_t read_le16(const Byte* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
}

std::uint32_t read_le32(const Byte* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

enum class Progress { kMore, kEnd, kCorrupt };

struct Step {
  Progress progress;
  std::size_t consumed;
  std::size_t produced;
  // At the end: input bytes taken in by earlier passes that lie past the DEFLATE data.
  std::size_t overread = 0;
};

#ifdef VANTREL_USE_ISAL

class RawInflater {
 public:
  // Not zeroed: restart() sets up what the inflater reads, and the rest is 87 KB of tables.
  RawInflater() : state_(sizeof(inflate_state)) {}

  void restart() {
    isal_inflate_init(state());
    state()->crc_flag = ISAL_DEFLATE;
  }

  Step run(const Byte* in, std::size_t in_size, Byte* out, std::size_t out_size) {
    inflate_state& s = *state();
    // igzip never writes through next_in; the field is just not declared const.
    s.next_in = const_cast<Byte*>(in);
    s.avail_in = static_cast<std::uint32_t>(in_size);
    s.next_out = out;
    s.avail_out = static_cast<std::uint32_t>(out_size);
    const int rc = isal_inflate(&s);
    Step step{Progress::kMore, in_size - s.avail_in, out_size - s.avail_out};
    if (rc < 0) {
      step.progress = Progress::kCorrupt;
    } else if (s.block_state == ISAL_BLOCK_FINISH) {
      step.progress = Progress::kEnd;
      // igzip reads ahead into its bit buffer, possibly in an earlier pass; whole bytes still
      // there belong to the trailer.
      step.overread = static_cast<std::size_t>(s.read_in_length) / 8;
    }
    return step;
  }

 private:
  static_assert(alignof(inflate_state) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  inflate_state* state() { return std::launder(reinterpret_cast<inflate_state*>(state_.data())); }

  base::ScratchBuffer state_;
};

#else

class RawInflater {
 public:
  RawInflater() {
    if (inflateInit2(&stream_, -15) != Z_OK) throw std::bad_alloc();
  }
  ~RawInflater() { inflateEnd(&stream_); }
  RawInflater(const RawInflater&) = delete;
  RawInflater& operator=(const RawInflater&) = delete;

  void restart() { inflateReset(&stream_); }

  Step run(const Byte* in, std::size_t in_size, Byte* out, std::size_t out_size) {
    stream_.next_in = in;
    stream_.avail_in = static_cast<uInt>(in_size);
    stream_.next_out = out;
    stream_.avail_out = static_cast<uInt>(out_size);
    const int rc = inflate(&stream_, Z_NO_FLUSH);
    Step step{Progress::kMore, in_size - stream_.avail_in, out_size - stream_.avail_out};
    if (rc == Z_STREAM_END) {
      step.progress = Progress::kEnd;
    } else if (rc == Z_MEM_ERROR) {
      throw std::bad_alloc();
    } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
      step.progress = Progress::kCorrupt;
    }
    return step;
  }

 private:
  z_stream stream_{};
};

#endif

// A NUL-terminated header field starting at `pos`; moves `pos` past the NUL.
Fault skip_zero_terminated(const Byte* in, std::size_t size, std::size_t& pos) {
  const std::size_t available = size - pos;
  const void* nul = std::memchr(in + pos, 0, std::min(available, kMaxFieldLength + 1));
  if (nul == nullptr) {
    return available > kMaxFieldLength ? Fault::kHeaderFieldTooLong : Fault::kUnexpectedEof;
  }
  pos = static_cast<std::size_t>(static_cast<const Byte*>(nul) - in) + 1;
  return Fault::kNone;
}

// Parses the member header at `pos`; on success `pos` is the first byte of DEFLATE data.
Fault parse_header(const Byte* in, std::size_t size, std::size_t& pos) {
  const std::size_t start = pos;
  std::size_t p = pos;
  // Judge the identifying bytes that are there before complaining that the rest is missing:
  // a short text file is not gzip, whereas a cut-off gzip header is a truncated file.
  const std::size_t have = std::min(size - p, std::size_t{4});
  const Byte expected[3] = {kMagic0, kMagic1, kMethodDeflate};
  for (std::size_t i = 0; i < have && i < 3; ++i) {
    if (in[p + i] != expected[i]) return Fault::kInvalidHeader;
  }
  if (have == 4 && (in[p + 3] & kFlagsReserved) != 0) return Fault::kInvalidHeader;
  if (size - p < kFixedHeaderSize) return Fault::kUnexpectedEof;
  const Byte flags = in[p + 3];
  p += kFixedHeaderSize;
  if (flags & kFlagExtra) {
    if (size - p < 2) return Fault::kUnexpectedEof;
    const std::size_t extra = read_le16(in + p);
    p += 2;
    if (size - p < extra) return Fault::kUnexpectedEof;
    p += extra;
  }
  for (const Byte field : {kFlagName, kFlagComment}) {
    if ((flags & field) == 0) continue;
    const Fault fault = skip_zero_terminated(in, size, p);
    if (fault != Fault::kNone) return fault;
  }
  if (flags & kFlagHeaderCrc) {
    if (size - p < 2) return Fault::kUnexpectedEof;
    const std::uint32_t header_crc = crc32_update(0, in + start, p - start);
    if ((header_crc & 0xFFFF) != read_le16(in + p)) return Fault::kInvalidHeader;
    p += 2;
  }
  pos = p;
  return Fault::kNone;
}

// Gzip members decoded as their input comes in, piece by piece. Each member is judged by its
// own trailer. Recorders append members when they rotate or resume, so a member may follow
// another; whatever follows the last one is left to the caller, unless it starts with the magic
// of another.
class GzipCodec final : public Codec {
 public:
  explicit GzipCodec(Fault* fault) : fault_(fault) {}
  const char* name() const override { return "gzip"; }

  CodecStep run(std::span<const Byte> in, bool ended, std::span<Byte> out) override {
    // A change of state that moved no bytes must not read as a request for more input.
    for (;;) {
      const State before = state_;
      const CodecStep step = step_once(in, ended, out);
      if (step.result != CodecResult::kMore || step.consumed != 0 || step.produced != 0 ||
          state_ == before) {
        return step;
      }
    }
  }

 private:
  enum class State { kFirstHeader, kNextMember, kBody, kTrailer, kDone };
  static constexpr std::size_t kTailSize = kTrailerSize;

  CodecStep step_once(std::span<const Byte> in, bool ended, std::span<Byte> out) {
    switch (state_) {
      case State::kFirstHeader:
        return header(in, ended);
      case State::kNextMember:
        return next_member(in, ended);
      case State::kBody:
        return body(in, ended, out);
      case State::kTrailer:
        return trailer(in, ended);
      case State::kDone:
        break;
    }
    return {CodecResult::kEnd, 0, 0};
  }

  CodecStep failed(Fault fault, std::size_t consumed = 0) {
    if (fault_ != nullptr) *fault_ = fault;
    const bool truncated = fault == Fault::kUnexpectedEof;
    return {truncated ? CodecResult::kTruncated : CodecResult::kInvalid, consumed, 0};
  }

  CodecStep more_or_truncated(bool ended) {
    return ended ? failed(Fault::kUnexpectedEof) : CodecStep{};
  }

  CodecStep next_member(std::span<const Byte> in, bool ended) {
    if (in.size() < 2) {
      if (!ended) return {};
      state_ = State::kDone;
      return {};
    }
    state_ = in[0] == kMagic0 && in[1] == kMagic1 ? State::kFirstHeader : State::kDone;
    return {};
  }

  CodecStep header(std::span<const Byte> in, bool ended) {
    std::size_t pos = 0;
    const Fault fault = parse_header(in.data(), in.size(), pos);
    if (fault == Fault::kUnexpectedEof) return more_or_truncated(ended);
    if (fault != Fault::kNone) return failed(fault);
    inflater_.restart();
    crc_ = 0;
    length_ = 0;
    tail_size_ = 0;
    state_ = State::kBody;
    return {CodecResult::kMore, pos, 0};
  }

  CodecStep body(std::span<const Byte> in, bool ended, std::span<Byte> out) {
    const Step step = inflater_.run(in.data(), std::min(in.size(), kMaxChunk), out.data(),
                                    std::min(out.size(), kMaxChunk));
    // A pass that ends in a fault may already have written text decoded from the damage (igzip
    // can run on through a broken block for a while before it meets a code it cannot use);
    // handing that on would bury the real fault under whatever the reader makes of it.
    if (step.progress == Progress::kCorrupt) return failed(Fault::kCorruptDeflate);
    keep_tail(in.data(), step.consumed);
    if (step.produced != 0) {
      crc_ = crc32_update(crc_, out.data(), step.produced);
      length_ += static_cast<std::uint32_t>(step.produced);
    }
    if (step.progress == Progress::kEnd) {
      // The inflater may have taken the first trailer bytes into its bit buffer, in this pass
      // or an earlier one: they are the last ones it consumed.
      if (step.overread > tail_size_) return failed(Fault::kCorruptDeflate);
      std::memcpy(trailer_, tail_ + tail_size_ - step.overread, step.overread);
      trailer_size_ = step.overread;
      state_ = State::kTrailer;
    } else if (step.consumed == 0 && step.produced == 0) {
      return more_or_truncated(ended);
    }
    return {CodecResult::kMore, step.consumed, step.produced};
  }

  CodecStep trailer(std::span<const Byte> in, bool ended) {
    const std::size_t take = std::min(kTrailerSize - trailer_size_, in.size());
    std::memcpy(trailer_ + trailer_size_, in.data(), take);
    trailer_size_ += take;
    if (trailer_size_ < kTrailerSize) {
      if (ended) return failed(Fault::kUnexpectedEof, take);
      return {CodecResult::kMore, take, 0};
    }
    if (read_le32(trailer_) != crc_ || read_le32(trailer_ + 4) != length_) {
      return failed(Fault::kChecksumMismatch, take);
    }
    state_ = State::kNextMember;
    return {CodecResult::kMore, take, 0};
  }

  // The last kTailSize bytes consumed so far, from this call's `data` and before.
  void keep_tail(const Byte* data, std::size_t n) {
    const std::size_t take = std::min(n, kTailSize);
    const std::size_t keep = std::min(tail_size_, kTailSize - take);
    std::memmove(tail_, tail_ + tail_size_ - keep, keep);
    std::memcpy(tail_ + keep, data + n - take, take);
    tail_size_ = keep + take;
  }

  Fault* fault_;
  RawInflater inflater_;
  State state_ = State::kFirstHeader;
  std::uint32_t crc_ = 0;
  std::uint32_t length_ = 0;
  Byte tail_[kTailSize] = {};
  std::size_t tail_size_ = 0;
  Byte trailer_[kTrailerSize] = {};
  std::size_t trailer_size_ = 0;
};

class DeflateCodec final : public Codec {
 public:
  DeflateCodec() { inflater_.restart(); }
  const char* name() const override { return "deflate"; }

  CodecStep run(std::span<const Byte> in, bool ended, std::span<Byte> out) override {
    const Step step = inflater_.run(in.data(), std::min(in.size(), kMaxChunk), out.data(),
                                    std::min(out.size(), kMaxChunk));
    if (step.progress == Progress::kCorrupt) return {CodecResult::kInvalid, 0, 0};
    if (step.progress == Progress::kEnd) {
      return {CodecResult::kEnd, step.consumed, step.produced};
    }
    if (step.consumed == 0 && step.produced == 0 && ended) {
      return {CodecResult::kTruncated, 0, 0};
    }
    return {CodecResult::kMore, step.consumed, step.produced};
  }

 private:
  RawInflater inflater_;
};

}  // namespace

std::unique_ptr<Codec> make_codec(Fault& fault) {
  return std::make_unique<GzipCodec>(&fault);
}

}  // namespace gzip

std::unique_ptr<Codec> make_gzip_codec() {
  return std::make_unique<gzip::GzipCodec>(nullptr);
}
std::unique_ptr<Codec> make_deflate_codec() {
  return std::make_unique<gzip::DeflateCodec>();
}

}  // namespace vantrel::sources
