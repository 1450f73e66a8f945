// Decoding one line of text into tape words.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "messages/plain_parser.hpp"

namespace vantrel::json {

enum class ErrorCode : std::uint8_t {
  kNone,
  kEofWhileParsingList,
  kEofWhileParsingObject,
  kEofWhileParsingString,
  kEofWhileParsingValue,
  kExpectedColon,
  kExpectedListCommaOrEnd,
  kExpectedObjectCommaOrEnd,
  kExpectedSomeIdent,
  kExpectedSomeValue,
  kExpectedDoubleQuote,
  kInvalidEscape,
  kInvalidNumber,
  kNumberOutOfRange,
  kInvalidUnicodeCodePoint,
  kControlCharacterWhileParsingString,
  kKeyMustBeAString,
  kLoneLeadingSurrogateInHexEscape,
  kTrailingComma,
  kTrailingCharacters,
  kUnexpectedEndOfHexEscape,
  kRecursionLimitExceeded,
};

// The one table of error texts.
std::string_view error_text(ErrorCode code);

struct ParseError {
  ErrorCode code = ErrorCode::kNone;
  std::size_t column = 0;  // 1-based byte column within the line
  explicit operator bool() const { return code != ErrorCode::kNone; }
  // "<description> at line 1 column <n>"
  std::string message() const;
};

inline constexpr int kMaxDepth = 127;

// How lines are parsed: byte by byte alone, or by the fast path first (PlainParser, for lines of
// plain JSON; the byte-by-byte parser then takes only the lines it gives up on). Their names,
// which the environment variable and scripts use, are "scalar" and "plain".
enum class ParserPath : std::uint8_t { kScalar, kFast };

inline constexpr ParserPath kAllParserPaths[] = {ParserPath::kScalar, ParserPath::kFast};

std::string_view parser_path_name(ParserPath path);
std::optional<ParserPath> parser_path_named(std::string_view name);

// The path a Parser takes unless told otherwise: the one the build pinned (VANTREL_PARSER),
// else the one the environment variable VANTREL_PARSER names ("scalar" or "plain"), read once
// per process, for tests that hold the two paths to the same results; else the fast path.
ParserPath default_parser_path();

// Decodes one line of text (one JSON value) into tape words. Reuses its space between calls.
// Every path gives the same words and the same errors; only the speed differs.
class Parser {
 public:
  explicit Parser(ParserPath path = default_parser_path()) : path_(path) {}

  ParserPath path() const { return path_; }
  // True when the last line went to the byte-by-byte parser after the fast path gave up on
  // it: every invalid line, and the few valid ones beyond the fast path.
  bool fell_back() const { return fell_back_; }

  // On success words() holds the value's words until the next call.
  ParseError parse(std::string_view text);
  std::span<const std::uint64_t> words() const { return {tape_.get(), words_}; }
  // Appends the value's words to `out`; on error `out` is left as it was.
  ParseError parse(std::string_view text, std::vector<std::uint64_t>& out);
  // Gives back the space kept for the next line (after the last one).
  void release_memory();

 private:
  std::unique_ptr<std::uint64_t[]> tape_;
  std::size_t capacity_ = 0;
  std::size_t words_ = 0;
  // Members of the objects still open: tape index of the key, and one past its value.
  std::vector<std::pair<std::size_t, std::size_t>> keys_;
  std::vector<std::uint64_t> scratch_;
  ParserPath path_;
  PlainParser plain_;
  bool fell_back_ = false;
};

}  // namespace vantrel::json
