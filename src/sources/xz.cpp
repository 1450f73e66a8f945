// xz files and the LZMA members of zip archives, both through liblzma.
#include <algorithm>
#include <cstdlib>

#include "sources/codec.hpp"

#ifdef VANTREL_HAVE_LZMA
#include <lzma.h>

namespace vantrel::sources {
namespace {

// An xz file made with the largest preset needs under 70 MiB to decode; a header asking for
// far more is damage, or an attempt to make us allocate it.
constexpr std::uint64_t kMemoryLimit = std::uint64_t{256} << 20;

// Runs a liblzma decoder set up by the subclass.
class LzmaCodecBase : public Codec {
 public:
  LzmaCodecBase() = default;
  LzmaCodecBase(const LzmaCodecBase&) = delete;
  LzmaCodecBase& operator=(const LzmaCodecBase&) = delete;
  ~LzmaCodecBase() override { lzma_end(&stream_); }

 protected:
  CodecStep decode(std::span<const Byte> in, bool ended, std::span<Byte> out) {
    stream_.next_in = in.data();
    stream_.avail_in = in.size();
    stream_.next_out = out.data();
    stream_.avail_out = out.size();
    const lzma_ret rc = lzma_code(&stream_, ended ? LZMA_FINISH : LZMA_RUN);
    const CodecStep step{CodecResult::kMore, in.size() - stream_.avail_in,
                         out.size() - stream_.avail_out};
    switch (rc) {
      case LZMA_STREAM_END:
        return {CodecResult::kEnd, step.consumed, step.produced};
      case LZMA_OK:
      case LZMA_BUF_ERROR:
        if (step.consumed == 0 && step.produced == 0 && ended) {
          return {CodecResult::kTruncated, 0, 0};
        }
        return step;
      default:
        return {CodecResult::kInvalid, 0, 0};
    }
  }

  lzma_stream stream_ = LZMA_STREAM_INIT;
};

class XzCodec final : public LzmaCodecBase {
 public:
  XzCodec() { ready_ = lzma_stream_decoder(&stream_, kMemoryLimit, LZMA_CONCATENATED) == LZMA_OK; }
  const char* name() const override { return "xz"; }

  CodecStep run(std::span<const Byte> in, bool ended, std::span<Byte> out) override {
    if (!ready_) return {CodecResult::kInvalid, 0, 0};
    return decode(in, ended, out);
  }

 private:
  bool ready_ = false;
};

// A zip LZMA member starts with the LZMA SDK's version (2 bytes), the size of the properties
// (2 bytes, little-endian) and the properties; raw LZMA1 data follows.
class ZipLzmaCodec final : public LzmaCodecBase {
 public:
  explicit ZipLzmaCodec(std::uint64_t uncompressed_size) : size_(uncompressed_size) {}
  const char* name() const override { return "lzma"; }

  CodecStep run(std::span<const Byte> in, bool ended, std::span<Byte> out) override {
    if (started_) return decode(in, ended, out);
    constexpr std::size_t kPrefix = 4;
    if (in.size() < kPrefix) return {ended ? CodecResult::kTruncated : CodecResult::kMore, 0, 0};
    const std::size_t properties = in[2] | std::size_t{in[3]} << 8;
    if (in.size() < kPrefix + properties) {
      return {ended ? CodecResult::kTruncated : CodecResult::kMore, 0, 0};
    }
    if (!start(in.subspan(kPrefix, properties))) return {CodecResult::kInvalid, 0, 0};
    started_ = true;
    return {CodecResult::kMore, kPrefix + properties, 0};
  }

 private:
  bool start(std::span<const Byte> properties) {
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_properties_decode(&filters[0], nullptr, properties.data(), properties.size()) !=
        LZMA_OK) {
      return false;
    }
    auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
    // The data cannot refer further back than its own length, so a larger dictionary is
    // never needed, and one that would still be too large is refused.
    options->dict_size = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(options->dict_size, std::max<std::uint64_t>(size_, 4096)));
    // The size is known from the directory, and the data may still end with a marker.
    filters[0].id = LZMA_FILTER_LZMA1EXT;
    options->ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    options->ext_size_low = static_cast<std::uint32_t>(size_);
    options->ext_size_high = static_cast<std::uint32_t>(size_ >> 32);
    const bool ok =
        options->dict_size <= kMemoryLimit && lzma_raw_decoder(&stream_, filters) == LZMA_OK;
    std::free(options);
    return ok;
  }

  std::uint64_t size_;
  bool started_ = false;
};

}  // namespace

std::unique_ptr<Codec> make_xz_codec() {
  return std::make_unique<XzCodec>();
}
std::unique_ptr<Codec> make_zip_lzma_codec(std::uint64_t uncompressed_size) {
  return std::make_unique<ZipLzmaCodec>(uncompressed_size);
}

}  // namespace vantrel::sources

#else

namespace vantrel::sources {
std::unique_ptr<Codec> make_xz_codec() {
  return nullptr;
}
std::unique_ptr<Codec> make_zip_lzma_codec(std::uint64_t) {
  return nullptr;
}
}  // namespace vantrel::sources

#endif
