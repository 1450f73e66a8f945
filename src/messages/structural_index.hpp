// Where the structure of a line is: the positions of its brackets, colons, commas, quotes and
// the first byte of every other token outside strings, found 64 bytes at a time with the
// vector units. The tape is then written by jumping from position to position instead of
// looking at every byte.
//
// The index is only a guide: the parser still checks every token it reads, and whatever the
// index cannot vouch for (a control character inside a string, a token that runs on into
// another) sends the line back to the byte-by-byte parser, which stays the reference for what
// is accepted and for every error text and column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace vantrel::json {

// How lines are parsed: byte by byte, or from an index built with SSE4.2 or AVX2.
enum class ParserPath : std::uint8_t { kScalar, kSse42, kAvx2 };

inline constexpr ParserPath kAllParserPaths[] = {ParserPath::kScalar, ParserPath::kSse42,
                                                 ParserPath::kAvx2};

std::string_view parser_path_name(ParserPath path);
std::optional<ParserPath> parser_path_named(std::string_view name);

// Whether this CPU can run the path.
bool parser_path_supported(ParserPath path);

// The path a Parser takes unless told otherwise: the one the build pinned (VANTREL_PARSER),
// or the fastest the CPU supports; never one the CPU cannot run.
ParserPath default_parser_path();

class StructuralIndex {
 public:
  // Indexes `line`. False when the line must go to the byte-by-byte parser: the path is the
  // scalar one, the line is too long for 32-bit positions, or a control character sits inside
  // a string (always an error, whose column only the reference parser reports).
  bool build(ParserPath path, std::string_view line);

  // Structural positions in order, followed by two entries equal to the line's length.
  const std::uint32_t* positions() const { return positions_.get(); }
  // Any backslash in the line: strings then need their escapes decoded.
  bool has_backslash() const { return has_backslash_; }

  void release_memory();

 private:
  std::unique_ptr<std::uint32_t[]> positions_;
  std::size_t capacity_ = 0;
  bool has_backslash_ = false;
};

}  // namespace vantrel::json
