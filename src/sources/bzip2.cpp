// bzip2 through libbz2. Parallel compressors write one stream per block group, back to back, so
// every stream that follows is decoded too; anything else after a stream is left to the caller.
#include <algorithm>
#include <climits>

#include "sources/bzip2_decoder.hpp"
#include "sources/codec.hpp"

#ifdef VANTREL_HAVE_BZIP2
#include <bzlib.h>

namespace vantrel::sources {
namespace {

class Bzip2Codec final : public Codec {
 public:
  explicit Bzip2Codec(bool after_stream) : first_(!after_stream) {}
  Bzip2Codec(const Bzip2Codec&) = delete;
  Bzip2Codec& operator=(const Bzip2Codec&) = delete;
  ~Bzip2Codec() override { end_stream(); }

  const char* name() const override { return "bzip2"; }

  CodecStep run(std::span<const Byte> in, bool ended, std::span<Byte> out) override {
    if (done_) return {CodecResult::kEnd, 0, 0};
    if (!active_ && !begin_stream(in, ended)) {
      if (done_) return {CodecResult::kEnd, 0, 0};
      return {failed_ ? CodecResult::kInvalid : CodecResult::kMore, 0, 0};
    }
    stream_.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
    stream_.avail_in = static_cast<unsigned>(std::min<std::size_t>(in.size(), UINT_MAX));
    stream_.next_out = reinterpret_cast<char*>(out.data());
    stream_.avail_out = static_cast<unsigned>(std::min<std::size_t>(out.size(), UINT_MAX));
    const unsigned in_before = stream_.avail_in;
    const unsigned out_before = stream_.avail_out;
    const int rc = BZ2_bzDecompress(&stream_);
    const CodecStep step{CodecResult::kMore, in_before - stream_.avail_in,
                         out_before - stream_.avail_out};
    if (rc == BZ_STREAM_END) {
      end_stream();
      first_ = false;
      // A stream can end in a call that moves nothing; that must not read as a call for more
      // input, so what follows it is looked at right away.
      if (step.consumed == 0 && step.produced == 0) return run(in, ended, out);
      return step;
    }
    if (rc != BZ_OK) return {CodecResult::kInvalid, 0, 0};
    if (step.consumed == 0 && step.produced == 0 && ended) return {CodecResult::kTruncated, 0, 0};
    return step;
  }

 private:
  // False when the stream cannot start yet: more input is needed, the data is over (done_) or
  // the decoder could not be set up (failed_).
  bool begin_stream(std::span<const Byte> in, bool ended) {
    if (!first_) {
      constexpr std::size_t kMagicSize = 4;
      if (in.size() < kMagicSize) {
        done_ = ended;
        return false;
      }
      const bool magic =
          in[0] == 'B' && in[1] == 'Z' && in[2] == 'h' && in[3] >= '1' && in[3] <= '9';
      if (!magic) {
        done_ = true;
        return false;
      }
    }
    stream_ = bz_stream{};
    if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK) {
      failed_ = true;
      return false;
    }
    active_ = true;
    return true;
  }

  void end_stream() {
    if (active_) BZ2_bzDecompressEnd(&stream_);
    active_ = false;
  }

  bz_stream stream_{};
  bool active_ = false;
  bool first_ = true;
  bool done_ = false;
  bool failed_ = false;
};

}  // namespace

std::unique_ptr<Codec> make_libbz2_codec(bool after_stream) {
  return std::make_unique<Bzip2Codec>(after_stream);
}

std::unique_ptr<Codec> make_bzip2_codec() {
  if (auto decoder = make_bzip2_decoder()) return decoder;
  return make_libbz2_codec(false);
}

}  // namespace vantrel::sources

#else

namespace vantrel::sources {
std::unique_ptr<Codec> make_libbz2_codec(bool) {
  return nullptr;
}
std::unique_ptr<Codec> make_bzip2_codec() {
  return nullptr;
}
}  // namespace vantrel::sources

#endif
