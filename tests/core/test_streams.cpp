// The decoders on their own: the bytes they give must not depend on how the input is cut into
// pieces or how much room each read offers, down to one byte at a time.
#include <doctest/doctest.h>

#include <algorithm>

#include "fixtures.hpp"
#include "sources/byte_stream.hpp"
#include "sources/format.hpp"

using namespace fixtures;
using vantrel::sources::Byte;
using vantrel::sources::ByteStream;
using vantrel::sources::DecodingStream;
using vantrel::sources::Format;

namespace {

// Hands out `data` at most `piece` bytes a read.
class Trickle final : public ByteStream {
 public:
  Trickle(std::string_view data, std::size_t piece) : data_(data), piece_(piece) {}
  bool read(std::span<Byte> out, std::size_t& got) override {
    got = std::min({out.size(), piece_, data_.size()});
    std::copy_n(data_.begin(), got, out.begin());
    data_.remove_prefix(got);
    return true;
  }

 private:
  std::string_view data_;
  std::size_t piece_;
};

// Everything `stream` gives, read `room` bytes at a time; "!" and the error on failure.
std::string drain(ByteStream& stream, std::size_t room) {
  std::string out;
  std::vector<Byte> buffer(room);
  for (;;) {
    std::size_t got = 0;
    if (!stream.read(buffer, got)) return "!" + stream.error();
    if (got == 0) return out;
    out.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
  }
}

}  // namespace

TEST_CASE("decoders give the same bytes however input and output are cut") {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "{\"pt\":" + std::to_string(i * 37) + "}\n";
  const struct {
    Format format;
    std::string data;
  } inputs[] = {
      {Format::kGzip, gzip(text.substr(0, 1000)) + gzip(text.substr(1000)) + gzip("")},
      {Format::kBzip2, bzip2(text.substr(0, 1000)) + bzip2(text.substr(1000))},
      {Format::kZstd, zstd(text.substr(0, 1000)) + zstd(text.substr(1000))},
      {Format::kXz, xz(text.substr(0, 1000)) + xz(text.substr(1000))},
  };
  for (const auto& input : inputs) {
    CAPTURE(vantrel::sources::format_name(input.format));
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
      for (const std::size_t room : {std::size_t{1}, std::size_t{13}, std::size_t{1} << 16}) {
        CAPTURE(piece);
        CAPTURE(room);
        Trickle raw(input.data, piece);
        DecodingStream decoded(raw, vantrel::sources::make_codec(input.format));
        CHECK(drain(decoded, room) == text);
      }
    }
  }
}
