// Decoding one line of text into tape words.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Appends the words of the one JSON value in `text` to `out`. On error `out` is left at its
// original size. Reuses its scratch space between calls.
class Parser {
 public:
  ParseError parse(std::string_view text, std::vector<std::uint64_t>& out);

 private:
  // Members of the objects still open: tape index of the key, and one past its value.
  std::vector<std::pair<std::size_t, std::size_t>> keys_;
  std::vector<std::uint64_t> scratch_;
};

}  // namespace vantrel::json
