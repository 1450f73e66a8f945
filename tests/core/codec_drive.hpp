// A codec driven as DecodingStream drives it, its input fed in pieces of a given size and its
// output taken in pieces of another: for comparing two codecs on the same bytes.
#pragma once

#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sources/codec.hpp"

namespace codec_drive {

struct Decoded {
  vantrel::sources::CodecResult result;
  std::string text;
};

// Stops, with kMore, once more than `most` bytes of text came out.
inline Decoded decode(vantrel::sources::Codec& codec, std::string_view input, std::size_t in_piece,
                      std::size_t out_piece, std::size_t most = std::string::npos) {
  using vantrel::sources::Byte;
  using vantrel::sources::CodecResult;
  std::vector<Byte> held;
  std::size_t begin = 0;
  std::size_t fed = 0;
  std::vector<Byte> out(out_piece);
  Decoded decoded{CodecResult::kMore, {}};
  for (;;) {
    const bool ended = fed == input.size();
    const auto step = codec.run({held.data() + begin, held.size() - begin}, ended, out);
    begin += step.consumed;
    decoded.text.append(reinterpret_cast<const char*>(out.data()), step.produced);
    if (step.result != CodecResult::kMore) {
      decoded.result = step.result;
      return decoded;
    }
    if (decoded.text.size() > most) return decoded;
    if (step.consumed != 0 || step.produced != 0) continue;
    if (ended) {
      decoded.result = CodecResult::kTruncated;
      return decoded;
    }
    held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(begin));
    begin = 0;
    const std::size_t n = std::min(in_piece, input.size() - fed);
    held.insert(held.end(), input.begin() + static_cast<std::ptrdiff_t>(fed),
                input.begin() + static_cast<std::ptrdiff_t>(fed + n));
    fed += n;
  }
}

// One's text is the start of the other's: what two decoders may differ in when both stop at
// the same damage, since either may hand out more of the damaged block before it stops.
inline bool one_starts_the_other(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  return a.compare(0, n, b, 0, n) == 0;
}

}  // namespace codec_drive
