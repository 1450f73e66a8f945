// The line parser's fast path: one pass over a line in a single loop whose state lives in
// registers, for lines made of the plain JSON a stream writes (strings without escapes, numbers
// without exponents and of at most 19 digits, no repeated keys).
//
// It writes exactly the words the byte-by-byte parser would, or gives up: any line it does not
// accept, valid or not, goes to the byte-by-byte parser, which stays the one judge of what is
// accepted and of every error text and column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace vantrel::json {

class PlainParser {
 public:
  // Writes the words of `line` from `out` (room for line.size() + 2 words) and returns how
  // many; 0 when the line is not plain.
  std::size_t parse(std::string_view line, std::uint64_t* out);

  void release_memory();

  // Bytes readable past the end of the copy the parser reads from: enough for a vector load
  // started at the last byte.
  static constexpr std::size_t kPadding = 64;

 private:
  struct Frame;
  const unsigned char* padded_copy(std::string_view line);

  std::unique_ptr<unsigned char[]> text_;
  std::size_t text_capacity_ = 0;
  std::vector<const std::uint64_t*> keys_;
};

}  // namespace vantrel::json
