// Incremental decoders behind one interface, so that a compressed archive can be walked as a
// stream and a member decoded as it is read: no decoder needs its whole input at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace vantrel::sources {

using Byte = unsigned char;

enum class CodecResult {
  kMore,       // call again (with more input when nothing moved)
  kEnd,        // the data is complete; nothing more comes out, and what follows it in the
               // input is left unconsumed, for the caller to judge
  kInvalid,    // the data is damaged or not of this format
  kTruncated,  // the input ended inside the data
};

struct CodecStep {
  CodecResult result = CodecResult::kMore;
  std::size_t consumed = 0;
  std::size_t produced = 0;
};

class Codec {
 public:
  virtual ~Codec() = default;
  // The format's name as error texts give it: "invalid <name> data".
  virtual const char* name() const = 0;
  // Decodes from the front of `in` into the front of `out` (never empty). `input_ended` says
  // that `in` is all the input there will be. kMore with nothing consumed or produced asks for
  // more input, appended to what `in` held: headers are parsed only when whole.
  virtual CodecStep run(std::span<const Byte> in, bool input_ended, std::span<Byte> out) = 0;
  // After kEnd: input the codec took in (counted as consumed) that lies past the end of its
  // data, for a decoder that holds input ahead of what it has decoded.
  virtual std::span<const Byte> taken_past_end() const { return {}; }
};

// Each factory returns null when its library was not built in.
std::unique_ptr<Codec> make_gzip_codec();     // every member, as the gzip tool writes them
std::unique_ptr<Codec> make_deflate_codec();  // one raw DEFLATE stream
std::unique_ptr<Codec> make_bzip2_codec();    // every stream, as pbzip2 writes them
std::unique_ptr<Codec> make_zstd_codec();     // every frame, skippable ones included
std::unique_ptr<Codec> make_xz_codec();       // every stream, with stream padding
// The LZMA data of a zip member: its own small header, then raw LZMA1 that ends either at
// `uncompressed_size` or at an end marker.
std::unique_ptr<Codec> make_zip_lzma_codec(std::uint64_t uncompressed_size);

// CRC-32 as gzip and zip use it.
std::uint32_t crc32_update(std::uint32_t crc, const Byte* data, std::size_t size);

}  // namespace vantrel::sources
