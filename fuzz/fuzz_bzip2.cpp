// Our bzip2 decoder against libbz2 on the same bytes: the same verdict on every input, the
// same text when both finish, and texts one of which starts the other when both stop.
//
// The first input byte picks the mode:
//   bit 0       the rest is bzip2 data as it is (0), or text that libbz2 compresses first and
//               whose stream then loses one bit, at the place the next four bytes give (1);
//   bits 1-3    the level of that compression (0 and 1: 1; inputs fit one block of any);
//   bits 4-5    the size of the pieces input is fed in: whole, 1, 7 or 4093 bytes;
//   bits 6-7    the size of the pieces output is taken in: 65536, 1, 13 or 4096 bytes.
// Text past the first 4 MB (256 KB in small output pieces) is not compared: a few kilobytes
// of runs make far more.
#include <bzlib.h>

#include <cstdint>
#include <string>

#include "../tests/core/codec_drive.hpp"
#include "check.hpp"
#include "sources/bzip2_decoder.hpp"

using namespace vantrel::sources;

namespace {

std::string compress(std::string_view text, int level) {
  unsigned size = static_cast<unsigned>(text.size() + text.size() / 100 + 600);
  std::string out(size, '\0');
  FUZZ_CHECK(BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(text.data()),
                                      static_cast<unsigned>(text.size()), level, 0, 0) == BZ_OK);
  out.resize(size);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const unsigned mode = data[0];
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (mode & 1) {
    if (bytes.size() < 4) return 0;
    const std::uint32_t flip =
        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[0])) |
        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[1])) << 8 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2])) << 16 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[3])) << 24;
    bytes = compress(std::string_view(bytes).substr(4), std::max(1u, (mode >> 1) & 7));
    // Past the end: no damage, the stream as libbz2 wrote it.
    const std::size_t bit = flip % (bytes.size() * 8 + 64);
    if (bit < bytes.size() * 8)
      bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (0x80 >> (bit % 8)));
  }
  static constexpr std::size_t kInPieces[] = {0, 1, 7, 4093};
  static constexpr std::size_t kOutPieces[] = {65536, 1, 13, 4096};
  const std::size_t in_piece =
      kInPieces[(mode >> 4) & 3] ? kInPieces[(mode >> 4) & 3] : bytes.size() + 1;
  const std::size_t out_piece = kOutPieces[(mode >> 6) & 3];

  auto reference = make_libbz2_codec(false);
  auto ours = make_bzip2_decoder();
  FUZZ_CHECK(reference != nullptr && ours != nullptr);
  // In small pieces, libbz2 takes as long over a few megabytes as over a gigabyte in large.
  const std::size_t most = out_piece < 4096 ? std::size_t{256} << 10 : std::size_t{4} << 20;
  const auto want = codec_drive::decode(*reference, bytes, in_piece, out_piece, most);
  const auto got = codec_drive::decode(*ours, bytes, in_piece, out_piece, most);
  FUZZ_CHECK(got.result == want.result);
  if (want.result == CodecResult::kEnd) {
    FUZZ_CHECK(got.text == want.text);
  } else {
    FUZZ_CHECK(codec_drive::one_starts_the_other(got.text, want.text));
  }
  return 0;
}
