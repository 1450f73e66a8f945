#include "messages/parser.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "messages/tape.hpp"
#include "messages/tape_writing.hpp"

namespace vantrel::json {

namespace {

using namespace tape;
using digits::digits_value;
using digits::kPow10;
using digits::kPow10Int;
using digits::leading_digits;

std::uint64_t double_word(double d) {
  return std::bit_cast<std::uint64_t>(d);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Reading

// ---------------------------------------------------------------------------------------------
// Errors

std::string_view error_text(ErrorCode code) {
  switch (code) {
    case ErrorCode::kNone:
      return "";
    case ErrorCode::kEofWhileParsingList:
      return "EOF while parsing a list";
    case ErrorCode::kEofWhileParsingObject:
      return "EOF while parsing an object";
    case ErrorCode::kEofWhileParsingString:
      return "EOF while parsing a string";
    case ErrorCode::kEofWhileParsingValue:
      return "EOF while parsing a value";
    case ErrorCode::kExpectedColon:
      return "expected `:`";
    case ErrorCode::kExpectedListCommaOrEnd:
      return "expected `,` or `]`";
    case ErrorCode::kExpectedObjectCommaOrEnd:
      return "expected `,` or `}`";
    case ErrorCode::kExpectedSomeIdent:
      return "expected ident";
    case ErrorCode::kExpectedSomeValue:
      return "expected value";
    case ErrorCode::kExpectedDoubleQuote:
      return "expected `\"`";
    case ErrorCode::kInvalidEscape:
      return "invalid escape";
    case ErrorCode::kInvalidNumber:
      return "invalid number";
    case ErrorCode::kNumberOutOfRange:
      return "number out of range";
    case ErrorCode::kInvalidUnicodeCodePoint:
      return "invalid unicode code point";
    case ErrorCode::kControlCharacterWhileParsingString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case ErrorCode::kKeyMustBeAString:
      return "key must be a string";
    case ErrorCode::kLoneLeadingSurrogateInHexEscape:
      return "lone leading surrogate in hex escape";
    case ErrorCode::kTrailingComma:
      return "trailing comma";
    case ErrorCode::kTrailingCharacters:
      return "trailing characters";
    case ErrorCode::kUnexpectedEndOfHexEscape:
      return "unexpected end of hex escape";
    case ErrorCode::kRecursionLimitExceeded:
      return "recursion limit exceeded";
  }
  return "";
}

std::string ParseError::message() const {
  std::string s(error_text(code));
  s += " at line 1 column ";
  s += std::to_string(column);
  return s;
}

// ---------------------------------------------------------------------------------------------
// Parsing
//
// Error columns follow one rule: an error found on a byte already consumed reports the count
// of consumed bytes; an error found by looking at the next byte reports that byte's position
// (capped at the end of the line).

namespace {

struct Failure {
  ErrorCode code;
  std::size_t column;
};

// The words of the line being parsed. A value never takes more words than it has bytes, so
// room for the whole line is made once and every store is then unchecked.
class TapeWriter {
 public:
  explicit TapeWriter(std::uint64_t* base) : base_(base), w_(base) {}
  void push(std::uint64_t word) { *w_++ = word; }
  // Where the next word goes, for the writers of tape_writing.hpp to move on.
  std::uint64_t*& cursor() { return w_; }
  std::uint64_t* grow(std::size_t words) {
    std::uint64_t* at = w_;
    w_ += words;
    return at;
  }
  std::size_t size() const { return static_cast<std::size_t>(w_ - base_); }
  void resize(std::size_t words) { w_ = base_ + words; }  // shrinks only
  std::uint64_t& operator[](std::size_t i) { return base_[i]; }
  const std::uint64_t& operator[](std::size_t i) const { return base_[i]; }
  std::uint64_t* data() { return base_; }

 private:
  std::uint64_t* base_;
  std::uint64_t* w_;
};

// Parses byte by byte: the reference for what is accepted, and for every error text and column.
class LineParser {
 public:
  LineParser(std::string_view text, std::uint64_t* out, std::vector<std::uint64_t>& scratch,
             std::vector<std::pair<std::size_t, std::size_t>>& keys)
      : s_(reinterpret_cast<const unsigned char*>(text.data())),
        n_(text.size()),
        p_(s_),
        end_(s_ + n_),
        out_(out),
        scratch_(scratch),
        keys_(keys) {}

  Failure run() {
    if (!parse_value()) return failure_;
    skip_ws();
    if (p_ < end_) return peek_fail(ErrorCode::kTrailingCharacters);
    return {ErrorCode::kNone, 0};
  }

  std::size_t words() const { return out_.size(); }

 private:
  // Failures ------------------------------------------------------------------------------
  bool fail(ErrorCode code) {
    failure_ = {code, consumed()};
    return false;
  }
  Failure peek_fail(ErrorCode code) { return {code, std::min(consumed() + 1, n_)}; }
  bool peek_error(ErrorCode code) {
    failure_ = peek_fail(code);
    return false;
  }

  std::size_t consumed() const { return static_cast<std::size_t>(p_ - s_); }

  void skip_ws() { json::skip_ws(p_, end_); }

  // Values --------------------------------------------------------------------------------
  bool parse_value() {
    skip_ws();
    if (p_ >= end_) return peek_error(ErrorCode::kEofWhileParsingValue);
    switch (*p_) {
      case 'n':
        ++p_;
        return parse_ident("ull", make(kNull, 0));
      case 't':
        ++p_;
        return parse_ident("rue", make(kTrue, 0));
      case 'f':
        ++p_;
        return parse_ident("alse", make(kFalse, 0));
      case '-':
        ++p_;
        return parse_number(false);
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return parse_number(true);
      case '"':
        ++p_;
        return parse_string();
      case '[':
        if (++depth_ > kMaxDepth) return peek_error(ErrorCode::kRecursionLimitExceeded);
        ++p_;
        if (!parse_array()) return false;
        --depth_;
        return true;
      case '{':
        if (++depth_ > kMaxDepth) return peek_error(ErrorCode::kRecursionLimitExceeded);
        ++p_;
        if (!parse_object()) return false;
        --depth_;
        return true;
      default:
        return peek_error(ErrorCode::kExpectedSomeValue);
    }
  }

  // A value inside a container: the common scalars are taken here, without the general
  // dispatch; everything else (and every error) goes through parse_value.
  bool parse_element() {
    skip_ws();
    if (p_ < end_) {
      const unsigned char c = *p_;
      if (c == '"') {
        ++p_;
        return parse_string();
      }
      if (static_cast<unsigned char>(c - '0') < 10) return parse_number(true);
    }
    return parse_value();
  }

  bool parse_ident(const char* rest, std::uint64_t word) {
    for (; *rest != '\0'; ++rest) {
      if (p_ >= end_) return fail(ErrorCode::kEofWhileParsingValue);
      if (*p_++ != static_cast<unsigned char>(*rest)) return fail(ErrorCode::kExpectedSomeIdent);
    }
    out_.push(word);
    return true;
  }

  bool is_digit_at(const unsigned char* p) const { return p < end_ && *p >= '0' && *p <= '9'; }

  // Below this, one more digit cannot overflow 64 bits: the common case needs no division.
  static constexpr std::uint64_t kNoOverflow = 1'000'000'000'000'000'000ULL;

  // The number of a price or a size read whole from one load, ended inside the eight bytes by
  // something other than an exponent. Anything else (and every malformed number) is left to
  // the general reading.
  bool take_short_number(std::uint64_t& significand, int& fraction_digits) {
    if (end_ - p_ < 8) return false;
    const unsigned char* p = p_;
    int whole;
    if (!json::take_short_number(p, significand, whole, fraction_digits) ||
        (whole > 1 && *p_ == '0') || (*p | 0x20) == 'e') {
      return false;
    }
    p_ = p;
    return true;
  }

  // Takes up to eight digits at once into a significand below 10^10 (so it cannot overflow);
  // the caller's digit loop takes whatever follows.
  void take_digit_word(std::uint64_t& significand) {
    if (p_ + 8 > end_ || significand >= 10'000'000'000ULL) return;
    std::uint64_t v;
    std::memcpy(&v, p_, 8);
    const int n = leading_digits(v);
    if (n == 0) return;
    significand = significand * kPow10Int[n] + digits_value(v, n);
    p_ += n;
  }

  bool parse_number(bool positive) {
    const unsigned char* start = positive ? p_ : p_ - 1;
    {
      std::uint64_t significand;
      int fraction_digits;
      if (take_short_number(significand, fraction_digits)) {
        return emit_number(start, positive, significand, fraction_digits, 0, false, false);
      }
    }
    if (p_ >= end_) return fail(ErrorCode::kEofWhileParsingValue);
    const unsigned char first = *p_++;
    if (first < '0' || first > '9') return fail(ErrorCode::kInvalidNumber);

    // Integer part. `significand` stays exact while it has at most 19 digits.
    std::uint64_t significand = first - '0';
    bool overflow = false;
    if (first == '0') {
      if (is_digit_at(p_)) return peek_error(ErrorCode::kInvalidNumber);
    } else {
      take_digit_word(significand);
      while (is_digit_at(p_)) {
        const unsigned d = *p_++ - '0';
        if (significand < kNoOverflow || significand <= (UINT64_MAX - d) / 10) {
          significand = significand * 10 + d;
        } else {
          overflow = true;
        }
      }
    }

    int fraction_digits = 0;
    bool has_exponent = false;
    if (p_ < end_ && *p_ == '.') {
      ++p_;
      const unsigned char* frac_start = p_;
      if (!overflow) take_digit_word(significand);
      while (is_digit_at(p_)) {
        const unsigned d = *p_++ - '0';
        if (!overflow && (significand < kNoOverflow || significand <= (UINT64_MAX - d) / 10)) {
          significand = significand * 10 + d;
        } else {
          overflow = true;
        }
      }
      if (p_ == frac_start) {
        return peek_error(p_ < end_ ? ErrorCode::kInvalidNumber : ErrorCode::kEofWhileParsingValue);
      }
      fraction_digits = static_cast<int>(p_ - frac_start);
    }
    int exponent = 0;
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      has_exponent = true;
      ++p_;
      bool exp_negative = false;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) exp_negative = *p_++ == '-';
      if (p_ >= end_) return fail(ErrorCode::kEofWhileParsingValue);
      if (!is_digit_at(p_)) {
        ++p_;
        return fail(ErrorCode::kInvalidNumber);
      }
      while (is_digit_at(p_)) {
        const int d = *p_++ - '0';
        if (exponent < 100000) exponent = exponent * 10 + d;
      }
      if (exp_negative) exponent = -exponent;
    }
    return emit_number(start, positive, significand, fraction_digits, exponent, has_exponent,
                       overflow);
  }

  bool emit_number(const unsigned char* start, bool positive, std::uint64_t significand,
                   int fraction_digits, int exponent, bool has_exponent, bool overflow) {
    const std::uint64_t* at = out_.cursor();
    const bool literal = !has_exponent && !overflow;
    if (literal && fraction_digits == 0 && (positive || significand <= (1ULL << 63))) {
      write_integer(out_.cursor(), !positive, significand);
      if (PairFold::takes(!positive, 0)) fold_.note(at, significand, 0, true);
      return true;
    }

    // A double. Exact operands and one rounding give the correctly rounded result directly;
    // everything else goes through the library's correctly rounded conversion.
    double value;
    const int scale = exponent - fraction_digits;
    if (!overflow && significand <= (1ULL << 53) && scale >= -22 && scale <= 22) {
      value = scale < 0 ? exact_decimal(significand, -scale)
                        : static_cast<double>(significand) * kPow10[scale];
      if (!positive) value = -value;
    } else if (!convert_slow(start, value)) {
      return fail(ErrorCode::kNumberOutOfRange);
    }
    out_.push(double_word(value));
    if (literal && PairFold::takes(!positive, fraction_digits)) {
      fold_.note(at, significand, static_cast<std::uint64_t>(fraction_digits), false);
    }
    return true;
  }

  bool convert_slow(const unsigned char* start, double& value) {
    const char* first = reinterpret_cast<const char*>(start);
    const char* last = reinterpret_cast<const char*>(p_);
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec == std::errc() && ptr == last) return std::isfinite(value);
    // Out of range: overflow is an error, underflow reads as the tiny value or zero.
    std::string copy(first, last);
    value = std::strtod(copy.c_str(), nullptr);
    return std::isfinite(value);
  }

  // Strings -------------------------------------------------------------------------------
  // High bit set in each byte that is a quote, a backslash or a control character. Borrows
  // can only mark bytes after a marked one, so the lowest mark is exact.
  static std::uint64_t special_bytes(std::uint64_t v) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    const std::uint64_t quote = v ^ (kOnes * '"');
    const std::uint64_t slash = v ^ (kOnes * '\\');
    const std::uint64_t has_quote = (quote - kOnes) & ~quote;
    const std::uint64_t has_slash = (slash - kOnes) & ~slash;
    const std::uint64_t has_control = (v - kOnes * 0x20) & ~v;
    return (has_quote | has_slash | has_control) & kHigh;
  }

  // The cursor is past the opening quote.
  bool parse_string() {
    const unsigned char* start = p_;
    // Eight bytes at a time to the first byte that ends the plain run.
    while (p_ + 8 <= end_) {
      std::uint64_t v;
      std::memcpy(&v, p_, 8);
      if (const std::uint64_t special = special_bytes(v)) {
        p_ += std::countr_zero(special) / 8;
        break;
      }
      p_ += 8;
    }
    while (p_ < end_) {
      const unsigned char c = *p_;
      if (c == '"') {
        emit_line_string(start, static_cast<std::size_t>(p_ - start));
        ++p_;
        return true;
      }
      if (c == '\\') return parse_escaped_string(start);
      if (c < 0x20) {
        ++p_;
        return fail(ErrorCode::kControlCharacterWhileParsingString);
      }
      ++p_;
    }
    return fail(ErrorCode::kEofWhileParsingString);
  }

  bool parse_escaped_string(const unsigned char* start) {
    std::string& buf = text_;
    buf.assign(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start));
    while (true) {
      if (p_ >= end_) return fail(ErrorCode::kEofWhileParsingString);
      const unsigned char c = *p_++;
      if (c == '"') break;
      if (c < 0x20) return fail(ErrorCode::kControlCharacterWhileParsingString);
      if (c != '\\') {
        buf.push_back(static_cast<char>(c));
        continue;
      }
      if (p_ >= end_) return fail(ErrorCode::kEofWhileParsingString);
      switch (*p_++) {
        case '"':
          buf.push_back('"');
          break;
        case '\\':
          buf.push_back('\\');
          break;
        case '/':
          buf.push_back('/');
          break;
        case 'b':
          buf.push_back('\b');
          break;
        case 'f':
          buf.push_back('\f');
          break;
        case 'n':
          buf.push_back('\n');
          break;
        case 'r':
          buf.push_back('\r');
          break;
        case 't':
          buf.push_back('\t');
          break;
        case 'u':
          if (!parse_unicode_escape(buf)) return false;
          break;
        default:
          return fail(ErrorCode::kInvalidEscape);
      }
    }
    emit_string(buf.data(), buf.size());
    return true;
  }

  bool hex4(std::uint32_t& out) {
    if (end_ - p_ < 4) {
      p_ = end_;
      return fail(ErrorCode::kEofWhileParsingString);
    }
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const unsigned char c = *p_++;
      std::uint32_t d;
      if (c >= '0' && c <= '9') {
        d = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        d = c - 'A' + 10;
      } else {
        return fail(ErrorCode::kInvalidEscape);
      }
      v = (v << 4) | d;
    }
    out = v;
    return true;
  }

  bool parse_unicode_escape(std::string& buf) {
    std::uint32_t cp;
    if (!hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(ErrorCode::kLoneLeadingSurrogateInHexEscape);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      for (const char expected : {'\\', 'u'}) {
        if (p_ >= end_) return fail(ErrorCode::kEofWhileParsingString);
        if (*p_++ != expected) return fail(ErrorCode::kUnexpectedEndOfHexEscape);
      }
      std::uint32_t low;
      if (!hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail(ErrorCode::kLoneLeadingSurrogateInHexEscape);
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(buf, cp);
    return true;
  }

  static void append_utf8(std::string& buf, std::uint32_t cp) {
    if (cp < 0x80) {
      buf.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      buf.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      buf.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      buf.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      buf.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      buf.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      buf.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      buf.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      buf.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      buf.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  void emit_string(const char* data, std::size_t len) {
    write_string_exact(out_.cursor(), data, len);
  }

  // A string of the line itself, whose bytes may be read in whole words while they lie within it.
  void emit_line_string(const unsigned char* data, std::size_t len) {
    if (static_cast<std::size_t>(end_ - data) >= string_load_bytes(len)) {
      write_string(out_.cursor(), data, len);
    } else {
      emit_string(reinterpret_cast<const char*>(data), len);
    }
  }

  // Containers ----------------------------------------------------------------------------
  bool parse_array() {
    const std::size_t head = out_.size();
    out_.push(0);
    bool first = true;
    while (true) {
      skip_ws();
      if (p_ >= end_) return peek_error(ErrorCode::kEofWhileParsingList);
      const unsigned char c = *p_;
      if (c == ']') {
        ++p_;
        break;
      }
      if (!first) {
        if (c != ',') return peek_error(ErrorCode::kExpectedListCommaOrEnd);
        ++p_;
        skip_ws();
        if (p_ >= end_) return peek_error(ErrorCode::kEofWhileParsingValue);
        if (*p_ == ']') return peek_error(ErrorCode::kTrailingComma);
      }
      first = false;
      if (!parse_element()) return false;
    }
    const std::size_t body = out_.size() - head - 1;
    if (body == 2 && fold_.folds(&out_[head])) {
      out_[head] = fold_.word();
      out_.resize(head + 1);
      fold_.forget();
      return true;
    }
    out_[head] = make(kArray, body);
    return true;
  }

  bool parse_object() {
    const std::size_t head = out_.size();
    const std::size_t keys_base = keys_.size();
    out_.push(0);
    bool first = true;
    while (true) {
      skip_ws();
      if (p_ >= end_) return peek_error(ErrorCode::kEofWhileParsingObject);
      unsigned char c = *p_;
      if (c == '}') {
        ++p_;
        break;
      }
      if (!first) {
        if (c != ',') return peek_error(ErrorCode::kExpectedObjectCommaOrEnd);
        ++p_;
        skip_ws();
        if (p_ >= end_) return peek_error(ErrorCode::kEofWhileParsingValue);
        c = *p_;
        if (c == '}') return peek_error(ErrorCode::kTrailingComma);
      }
      first = false;
      if (c != '"') return peek_error(ErrorCode::kKeyMustBeAString);
      ++p_;
      const std::size_t key_index = out_.size();
      if (!parse_string()) return false;
      skip_ws();
      if (p_ >= end_) return peek_error(ErrorCode::kEofWhileParsingObject);
      if (*p_ != ':') return peek_error(ErrorCode::kExpectedColon);
      ++p_;
      if (!parse_element()) return false;
      keys_.emplace_back(key_index, out_.size());
    }
    if (keys_.size() - keys_base >= 2) drop_repeated_keys(head, keys_base);
    keys_.resize(keys_base);
    close_object(&out_[head], out_.cursor());
    return true;
  }

  std::string_view key_at(std::size_t index) const { return Value(&out_[index]).as_string(); }
  bool same_key(std::size_t a, std::size_t b) const {
    return out_[a] == out_[b] && same_key_bytes(&out_[a], &out_[b]);
  }

  // A repeated key keeps its later value: earlier members with the same key are removed.
  void drop_repeated_keys(std::size_t head, std::size_t keys_base) {
    const std::size_t count = keys_.size() - keys_base;
    auto* members = &keys_[keys_base];
    std::vector<bool>& dropped = dropped_;
    bool any = false;
    if (count <= 16) {
      for (std::size_t a = 0; a < count && !any; ++a) {
        for (std::size_t b = a + 1; b < count; ++b) {
          if (same_key(members[a].first, members[b].first)) {
            any = true;
            break;
          }
        }
      }
      if (!any) return;
      dropped.assign(count, false);
      for (std::size_t a = 0; a < count; ++a) {
        for (std::size_t b = a + 1; b < count; ++b) {
          if (same_key(members[a].first, members[b].first)) {
            dropped[a] = true;
            break;
          }
        }
      }
    } else {
      dropped.assign(count, false);
      order_.resize(count);
      for (std::size_t k = 0; k < count; ++k) order_[k] = k;
      std::stable_sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
        return key_at(members[a].first) < key_at(members[b].first);
      });
      for (std::size_t k = 0; k + 1 < count; ++k) {
        if (same_key(members[order_[k]].first, members[order_[k + 1]].first)) {
          dropped[order_[k]] = true;  // stable order: the earlier member comes first
          any = true;
        }
      }
    }
    if (!any) return;
    scratch_.clear();
    for (std::size_t k = 0; k < count; ++k) {
      if (dropped[k]) continue;
      scratch_.insert(scratch_.end(), &out_[members[k].first], &out_[members[k].second]);
    }
    out_.resize(head + 1);
    std::memcpy(out_.grow(scratch_.size()), scratch_.data(),
                scratch_.size() * sizeof(std::uint64_t));
    fold_.forget();
  }

  const unsigned char* s_;
  std::size_t n_;
  // A pointer, not an index: stores into the tape (64-bit words) cannot alias it, so the
  // cursor stays in a register.
  const unsigned char* p_;
  const unsigned char* end_;
  int depth_ = 0;
  Failure failure_{ErrorCode::kNone, 0};
  TapeWriter out_;
  std::vector<std::uint64_t>& scratch_;
  std::vector<std::pair<std::size_t, std::size_t>>& keys_;
  std::vector<bool> dropped_;
  std::vector<std::size_t> order_;
  std::string text_;
  PairFold fold_;
};

}  // namespace

#ifndef VANTREL_PARSER_PATH
#define VANTREL_PARSER_PATH -1
#endif

std::string_view parser_path_name(ParserPath path) {
  switch (path) {
    case ParserPath::kScalar:
      return "scalar";
    case ParserPath::kFast:
      return "plain";
  }
  return "";
}

std::optional<ParserPath> parser_path_named(std::string_view name) {
  for (const ParserPath path : kAllParserPaths) {
    if (parser_path_name(path) == name) return path;
  }
  return std::nullopt;
}

ParserPath default_parser_path() {
  constexpr int kPinned = VANTREL_PARSER_PATH;
  if constexpr (kPinned >= 0) return kAllParserPaths[kPinned >= 0 ? kPinned : 0];
  // Read once: every parser of the process takes the same path.
  static const ParserPath chosen = [] {
    const char* name = std::getenv("VANTREL_PARSER");
    return name != nullptr ? parser_path_named(name).value_or(ParserPath::kFast)
                           : ParserPath::kFast;
  }();
  return chosen;
}

ParseError Parser::parse(std::string_view text) {
  words_ = 0;
  const std::size_t room = text.size() + 2;
  if (room > capacity_) {
    tape_.reset(new std::uint64_t[room]);  // left uninitialised: every word is written first
    capacity_ = room;
  }
  fell_back_ = false;
  if (path_ == ParserPath::kFast) {
    if (const std::size_t words = plain_.parse(text, tape_.get())) {
      words_ = words;
      return ParseError{};
    }
    fell_back_ = true;
  }
  LineParser p(text, tape_.get(), scratch_, keys_);
  const Failure f = p.run();
  if (f.code != ErrorCode::kNone) {
    keys_.clear();
    return ParseError{f.code, std::max<std::size_t>(f.column, 1)};
  }
  words_ = p.words();
  return ParseError{};
}

ParseError Parser::parse(std::string_view text, std::vector<std::uint64_t>& out) {
  const ParseError err = parse(text);
  if (!err) out.insert(out.end(), tape_.get(), tape_.get() + words_);
  return err;
}

void Parser::release_memory() {
  tape_.reset();
  capacity_ = 0;
  words_ = 0;
  scratch_ = {};
  keys_ = {};
  plain_.release_memory();
}

}  // namespace vantrel::json
