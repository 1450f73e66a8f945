// Our bzip2 decoder against libbz2: the same text from sound streams of every level, without
// handing a block to libbz2; the same verdict, and libbz2's own text, from damaged ones.
#include <doctest/doctest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "codec_drive.hpp"
#include "fixtures.hpp"
#include "sources/bzip2_block.hpp"
#include "sources/bzip2_decoder.hpp"

using codec_drive::decode;
using vantrel::sources::CodecResult;
namespace bz = vantrel::sources::bzip2;

namespace {

// Recordings of every shape the generator has, written by scripts/core-tests.sh; without
// them, market-stream-like lines made here.
std::vector<std::string> recordings() {
  std::vector<std::string> texts;
  if (const char* dir = std::getenv("VANTREL_TEST_RECORDINGS")) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      std::ifstream file(entry.path(), std::ios::binary);
      texts.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
  }
  if (texts.empty()) {
    std::string text;
    std::mt19937 rng(7);
    for (int i = 0; i < 6000; ++i) {
      text += "{\"op\":\"mcm\",\"clk\":\"" + std::to_string(rng() % 100000) +
              "\",\"pt\":" + std::to_string(1650392673420 + i * 250) +
              ",\"mc\":[{\"id\":\"1.197931750\",\"rc\":[{\"atb\":[[" +
              std::to_string(1 + static_cast<int>(rng() % 1000) / 100.0) + "," +
              std::to_string(rng() % 5000) + "]],\"id\":" + std::to_string(38000000 + rng() % 12) +
              "}]}]}\n";
    }
    texts.push_back(text);
  }
  return texts;
}

bool sound_decode(std::string_view compressed, const std::string& text, std::size_t piece,
                  std::size_t out_piece = 65536) {
  auto codec = vantrel::sources::make_bzip2_decoder();
  const auto handed = bz::blocks_handed_to_libbz2();
  const auto got = decode(*codec, compressed, piece, out_piece);
  return got.result == CodecResult::kEnd && got.text == text &&
         bz::blocks_handed_to_libbz2() == handed;
}

// Either libbz2 and our decoder agree on `bytes`, or say where they part.
void check_as_libbz2(std::string_view bytes, std::size_t in_piece, std::size_t out_piece) {
  auto reference = vantrel::sources::make_libbz2_codec(false);
  auto ours = vantrel::sources::make_bzip2_decoder();
  const auto want = decode(*reference, bytes, in_piece, out_piece);
  const auto got = decode(*ours, bytes, in_piece, out_piece);
  CHECK(got.result == want.result);
  if (want.result == CodecResult::kEnd) {
    CHECK(got.text == want.text);
  } else {
    CHECK(codec_drive::one_starts_the_other(got.text, want.text));
  }
}

std::string noise(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>('a' + rng() % 26);
  return s;
}

}  // namespace

TEST_CASE("bzip2 recordings of every shape and level decode as they were, whole or in pieces") {
  if (!vantrel::sources::make_bzip2_decoder()) return;
  for (const std::string& text : recordings()) {
    for (int level = 1; level <= 9; ++level) {
      CAPTURE(level);
      const std::string compressed = fixtures::bzip2_level(text, level);
      CHECK(sound_decode(compressed, text, compressed.size()));
      if (level == 1 || level == 9) CHECK(sound_decode(compressed, text, 4093));
    }
  }
}

TEST_CASE("bzip2 edge shapes: empty, one byte, long runs, blocks cut inside a run, many streams") {
  if (!vantrel::sources::make_bzip2_decoder()) return;
  const std::string run(100000 - 19 - 300,
                        'q');  // level 1's block ends 300 bytes into the next run
  const std::vector<std::string> texts = {
      "",
      "x",
      "aaaa",
      "aaaaa",
      std::string(256, 'a'),
      std::string(255 + 4, 'b') + std::string(255 + 5, 'b') + "c",
      std::string(5000, '\0'),
      std::string(1024, '\0'),  // ends in a run's count of none
      noise(99000, 1) + std::string(3000, 'z') + noise(1000, 2),
      run + std::string(700, 'r') + "tail",
      noise(250000, 3),
  };
  for (const std::string& text : texts) {
    CAPTURE(text.size());
    for (const int level : {1, 9}) {
      const std::string one = fixtures::bzip2_level(text, level);
      CHECK(sound_decode(one, text, one.size()));
      CHECK(sound_decode(one, text, 1));
      // Output taken in pieces, the last of a block's text filling one exactly.
      for (const std::size_t out_piece : {std::size_t{1}, std::size_t{4}, std::size_t{512}}) {
        CHECK(sound_decode(one, text, one.size(), out_piece));
      }
      // Streams back to back, as parallel compressors write them, an empty one among them.
      const std::string many =
          one + fixtures::bzip2_level("", level) + fixtures::bzip2_level(text, 10 - level);
      CHECK(sound_decode(many, text + text, 777));
    }
  }
}

TEST_CASE("damaged and truncated bzip2 streams get libbz2's verdict and libbz2's text") {
  if (!vantrel::sources::make_bzip2_decoder()) return;
  const std::string text = noise(60000, 4) + std::string(2000, 'k') + noise(200000, 5);
  const std::string stream =
      fixtures::bzip2_level(text, 1) + fixtures::bzip2_level(text.substr(0, 5000), 2);
  const auto handed = bz::blocks_handed_to_libbz2();
  std::mt19937 rng(11);
  for (int i = 0; i < 60; ++i) {
    std::string damaged = stream;
    const std::size_t at = i < 20 ? static_cast<std::size_t>(i) : rng() % damaged.size();
    damaged[at] = static_cast<char>(damaged[at] ^ (1 << (rng() % 8)));
    CAPTURE(at);
    check_as_libbz2(damaged, 1 + rng() % 70000, 1 + rng() % 70000);
  }
  for (const std::size_t keep :
       {std::size_t{0}, std::size_t{3}, std::size_t{4}, std::size_t{5}, std::size_t{11},
        stream.size() / 3, stream.size() - 11, stream.size() - 1}) {
    CAPTURE(keep);
    check_as_libbz2(std::string_view(stream).substr(0, keep), 4096, 65536);
  }
  // What follows the last stream is not ours to judge either.
  for (const std::string& tail :
       std::vector<std::string>{"BZh", "BZh9", "BZh91", "garbage", std::string(20, '\0')}) {
    check_as_libbz2(stream + tail, 65536, 65536);
  }
  CHECK(bz::blocks_handed_to_libbz2() > handed);
}

TEST_CASE("a randomised block is left to libbz2") {
  if (!vantrel::sources::make_bzip2_decoder()) return;
  std::string stream = fixtures::bzip2_level(noise(3000, 6), 9);
  // The flag is the bit after the block's magic and CRC: byte 14's top bit.
  stream[14] = static_cast<char>(stream[14] | 0x80);
  const auto handed = bz::blocks_handed_to_libbz2();
  check_as_libbz2(stream, stream.size(), 65536);
  CHECK(bz::blocks_handed_to_libbz2() == handed + 1);
}

TEST_CASE("the lead-in before a handed-over block is a stream libbz2 and we both read") {
  for (unsigned offset = 0; offset < 8; ++offset) {
    for (const std::uint32_t crc : {0u, 1u, 0xFFFFFFFFu, 0x12345678u, 0xDEADBEEFu}) {
      std::size_t text_size = 0;
      std::vector<vantrel::sources::Byte> lead = bz::lead_in(3, crc, offset, text_size);
      // Close the stream where the lead-in stops: the end magic and the combined CRC, which
      // is the block's own when it is the only one.
      std::uint64_t bits = lead.size() * 8 - (offset ? 8 - offset : 0);
      auto put = [&](std::uint64_t value, int n) {
        for (int i = n - 1; i >= 0; --i, ++bits) {
          if (bits % 8 == 0) lead.push_back(0);
          if ((value >> i) & 1)
            lead.back() = static_cast<unsigned char>(lead.back() | (0x80 >> (bits % 8)));
        }
      };
      put(bz::kEndMagic, 48);
      put(crc, 32);
      const std::string bytes(lead.begin(), lead.end());
      auto reference = vantrel::sources::make_libbz2_codec(false);
      const auto want = decode(*reference, bytes, bytes.size(), 64);
      CAPTURE(offset);
      CAPTURE(crc);
      REQUIRE(want.result == CodecResult::kEnd);
      CHECK(want.text.size() == text_size);
      std::uint32_t reg = bz::crc_update(
          ~0u, reinterpret_cast<const unsigned char*>(want.text.data()), want.text.size());
      CHECK(~reg == crc);
      if (auto ours = vantrel::sources::make_bzip2_decoder()) {
        CHECK(decode(*ours, bytes, 5, 64).text == want.text);
      }
    }
  }
}

TEST_CASE("bzip2's CRC eight bytes at a time is the bit-by-bit one") {
  const std::string data = noise(1000, 8);
  for (std::size_t size : {0, 1, 7, 8, 9, 63, 1000}) {
    std::uint32_t bitwise = ~0u;
    for (std::size_t i = 0; i < size; ++i) {
      bitwise ^= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << 24;
      for (int b = 0; b < 8; ++b)
        bitwise = (bitwise & 0x80000000u) ? (bitwise << 1) ^ 0x04C11DB7u : bitwise << 1;
    }
    CHECK(bz::crc_update(~0u, reinterpret_cast<const unsigned char*>(data.data()), size) ==
          bitwise);
  }
}
