// zstd through libzstd, whose streaming decoder goes on from one frame to the next by itself
// and passes over skippable frames.
#include "sources/codec.hpp"

#ifdef VANTREL_HAVE_ZSTD
#include <zstd.h>

namespace vantrel::sources {
namespace {

class ZstdCodec final : public Codec {
 public:
  ZstdCodec() : context_(ZSTD_createDCtx()) {}
  ZstdCodec(const ZstdCodec&) = delete;
  ZstdCodec& operator=(const ZstdCodec&) = delete;
  ~ZstdCodec() override { ZSTD_freeDCtx(context_); }

  const char* name() const override { return "zstd"; }

  CodecStep run(std::span<const Byte> in, bool ended, std::span<Byte> out) override {
    if (context_ == nullptr) return {CodecResult::kInvalid, 0, 0};
    ZSTD_inBuffer input{in.data(), in.size(), 0};
    ZSTD_outBuffer output{out.data(), out.size(), 0};
    const std::size_t rc = ZSTD_decompressStream(context_, &output, &input);
    if (ZSTD_isError(rc)) return {CodecResult::kInvalid, 0, 0};
    const CodecStep step{CodecResult::kMore, input.pos, output.pos};
    const bool moved = step.consumed != 0 || step.produced != 0;
    // 0 means the frame just read is whole and flushed, so the input may end here; a call that
    // moves nothing between frames says nothing either way.
    if (rc == 0) {
      frame_complete_ = true;
    } else if (moved) {
      frame_complete_ = false;
    }
    if (moved || !ended) return step;
    return {frame_complete_ ? CodecResult::kEnd : CodecResult::kTruncated, 0, 0};
  }

 private:
  ZSTD_DCtx* context_;
  bool frame_complete_ = false;
};

}  // namespace

std::unique_ptr<Codec> make_zstd_codec() {
  return std::make_unique<ZstdCodec>();
}

}  // namespace vantrel::sources

#else

namespace vantrel::sources {
std::unique_ptr<Codec> make_zstd_codec() {
  return nullptr;
}
}  // namespace vantrel::sources

#endif
