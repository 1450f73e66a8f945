// The line parser against a small, slow, obviously-right reading of the same grammar.
//
// Each input is one trimmed line. The parser must accept exactly the lines the reference
// accepts; an accepted line's tape must hold every number literal with the form and value the
// C library gives it and every string with its escapes decoded, must skip consistently, and
// must survive a round trip through text. A rejected line leaves the output as it was and
// names a column inside the line. Every parser path the CPU runs must give the byte-by-byte
// parser's words, or its error and column, exactly.
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "messages/parser.hpp"
#include "messages/tape.hpp"

using namespace vantrel;

namespace {

// ---------------------------------------------------------------------------------------------
// Reference grammar: RFC 8259, 127 levels of nesting, no lone surrogate escapes, and numbers
// must stay finite as doubles.

class Reference {
 public:
  explicit Reference(std::string_view s) : p_(s.data()), e_(s.data() + s.size()) {}

  bool accepts() {
    ws();
    if (!value()) return false;
    ws();
    return p_ == e_;
  }

 private:
  void ws() {
    while (p_ < e_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool eat(char c) {
    if (p_ < e_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }
  bool word(std::string_view w) {
    if (static_cast<std::size_t>(e_ - p_) < w.size() || std::string_view(p_, w.size()) != w) {
      return false;
    }
    p_ += w.size();
    return true;
  }

  bool value() {
    if (p_ == e_) return false;
    switch (*p_) {
      case '{':
        return container('}');
      case '[':
        return container(']');
      case '"':
        return string();
      case 't':
        return word("true");
      case 'f':
        return word("false");
      case 'n':
        return word("null");
      default:
        return number();
    }
  }

  bool container(char close) {
    if (++depth_ > json::kMaxDepth) return false;
    ++p_;
    ws();
    if (!eat(close)) {
      do {
        ws();
        if (close == '}') {
          if (p_ == e_ || *p_ != '"' || !string()) return false;
          ws();
          if (!eat(':')) return false;
          ws();
        }
        if (!value()) return false;
        ws();
      } while (eat(','));
      if (!eat(close)) return false;
    }
    --depth_;
    return true;
  }

  bool hex4(unsigned& v) {
    if (e_ - p_ < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = *p_++;
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    return true;
  }

  bool string() {
    ++p_;
    while (p_ < e_) {
      const auto c = static_cast<unsigned char>(*p_++);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (p_ == e_) return false;
      const char k = *p_++;
      if (std::strchr("\"\\/bfnrt", k) != nullptr && k != '\0') continue;
      if (k != 'u') return false;
      unsigned cp;
      if (!hex4(cp)) return false;
      if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        unsigned low;
        if (!word("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      }
    }
    return false;
  }

  bool digits() {
    const char* start = p_;
    while (p_ < e_ && *p_ >= '0' && *p_ <= '9') ++p_;
    return p_ != start;
  }

  bool number() {
    const char* start = p_;
    eat('-');
    if (eat('0')) {
      // no further integer digits
    } else if (!digits()) {
      return false;
    }
    if (eat('.') && !digits()) return false;
    if (p_ < e_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    const std::string literal(start, p_);
    return std::isfinite(std::strtod(literal.c_str(), nullptr));
  }

  const char* p_;
  const char* e_;
  int depth_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The literals of an accepted line, in document order, read straight from its text.

struct Literals {
  std::vector<std::string_view> numbers;
  std::vector<std::string> strings;  // escapes decoded to UTF-8
};

void append_utf8(std::string& out, std::uint32_t cp) {
  char buf[4];
  int n;
  if (cp < 0x80) {
    buf[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(buf, static_cast<std::size_t>(n));
}

Literals scan_literals(std::string_view s) {
  Literals lit;
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '"') {
      std::string text;
      ++i;
      while (s[i] != '"') {
        if (s[i] != '\\') {
          text.push_back(s[i++]);
          continue;
        }
        const char k = s[i + 1];
        i += 2;
        switch (k) {
          case 'b':
            text.push_back('\b');
            break;
          case 'f':
            text.push_back('\f');
            break;
          case 'n':
            text.push_back('\n');
            break;
          case 'r':
            text.push_back('\r');
            break;
          case 't':
            text.push_back('\t');
            break;
          case 'u': {
            std::uint32_t cp =
                static_cast<std::uint32_t>(std::stoul(std::string(s.substr(i, 4)), nullptr, 16));
            i += 4;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
              const auto low = static_cast<std::uint32_t>(
                  std::stoul(std::string(s.substr(i + 2, 4)), nullptr, 16));
              i += 6;
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            append_utf8(text, cp);
            break;
          }
          default:
            text.push_back(k);
            break;
        }
      }
      ++i;
      lit.strings.push_back(std::move(text));
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      const std::size_t start = i;
      while (i < s.size() && std::strchr("0123456789+-.eE", s[i]) != nullptr && s[i] != '\0') ++i;
      lit.numbers.push_back(s.substr(start, i - start));
    } else {
      ++i;
    }
  }
  return lit;
}

// ---------------------------------------------------------------------------------------------
// Reading the tape back.

struct TapeItems {
  std::vector<json::Value> numbers;
  std::vector<std::string_view> strings;
};

void walk(json::Value v, TapeItems& items, int depth) {
  FUZZ_CHECK(depth <= json::kMaxDepth);
  const std::uint64_t w = v.head_word();
  if (!json::tape::is_tagged(w)) FUZZ_CHECK(std::isfinite(std::bit_cast<double>(w)));
  switch (v.kind()) {
    case json::Kind::kNull:
    case json::Kind::kBool:
      FUZZ_CHECK(!v.is_number() && !v.as_double() && !v.as_int());
      break;
    case json::Kind::kUInt:
    case json::Kind::kInt:
    case json::Kind::kDouble:
      FUZZ_CHECK(v.is_number() && v.as_double());
      items.numbers.push_back(v);
      break;
    case json::Kind::kString:
      FUZZ_CHECK(v.is_string());
      items.strings.push_back(v.as_string());
      break;
    case json::Kind::kArray: {
      FUZZ_CHECK(v.is_array());
      for (const json::Value item : v.items()) walk(item, items, depth + 1);
      break;
    }
    case json::Kind::kObject: {
      FUZZ_CHECK(v.is_object());
      std::vector<std::string_view> keys;
      for (const json::Member m : v.members()) {
        FUZZ_CHECK(m.key.is_string());
        keys.push_back(m.key.as_string());
        items.strings.push_back(m.key.as_string());
        // find() must land on this member's value: keys are unique.
        const std::string key_text(m.key.as_string());
        FUZZ_CHECK(v.find(json::Key(key_text)).head() == m.value.head());
        walk(m.value, items, depth + 1);
      }
      for (std::size_t a = 0; a < keys.size(); ++a) {
        for (std::size_t b = a + 1; b < keys.size(); ++b) FUZZ_CHECK(keys[a] != keys[b]);
      }
      break;
    }
  }
}

bool is_integer_literal(std::string_view lit) {
  return lit.find_first_of(".eE") == std::string_view::npos;
}

// A number's form and value must be what its literal says.
void check_number(json::Value v, std::string_view lit) {
  const double expected = std::strtod(std::string(lit).c_str(), nullptr);
  const double actual = *v.as_double();
  if (is_integer_literal(lit)) {
    if (lit[0] != '-') {
      std::uint64_t u;
      const auto [ptr, ec] = std::from_chars(lit.data(), lit.data() + lit.size(), u);
      if (ec == std::errc()) {
        FUZZ_CHECK(v.kind() == json::Kind::kUInt);
        FUZZ_CHECK(actual == static_cast<double>(u));
        const auto as_int = v.as_int();
        FUZZ_CHECK(u > static_cast<std::uint64_t>(INT64_MAX)
                       ? !as_int
                       : as_int == static_cast<std::int64_t>(u));
        return;
      }
    } else {
      std::int64_t i;
      const auto [ptr, ec] = std::from_chars(lit.data(), lit.data() + lit.size(), i);
      if (ec == std::errc()) {
        FUZZ_CHECK(v.kind() == json::Kind::kInt);
        FUZZ_CHECK(v.as_int() == i);
        FUZZ_CHECK(std::bit_cast<std::uint64_t>(actual) ==
                   std::bit_cast<std::uint64_t>(static_cast<double>(i)));
        return;
      }
    }
  }
  FUZZ_CHECK(v.kind() == json::Kind::kDouble);
  FUZZ_CHECK(!v.as_int());
  FUZZ_CHECK(std::bit_cast<std::uint64_t>(actual) == std::bit_cast<std::uint64_t>(expected));
}

// ---------------------------------------------------------------------------------------------
// Round trip.

void write(json::Value v, std::string& out);

void write_string(std::string_view s, std::string& out) {
  out.push_back('"');
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

void write(json::Value v, std::string& out) {
  switch (v.kind()) {
    case json::Kind::kNull:
      out += "null";
      break;
    case json::Kind::kBool:
      out += v.is_true() ? "true" : "false";
      break;
    case json::Kind::kUInt:
    case json::Kind::kInt:
    case json::Kind::kDouble: {
      char buf[64];
      char* end;
      if (v.kind() == json::Kind::kDouble) {
        end = std::to_chars(buf, buf + sizeof buf, *v.as_double()).ptr;
        // Keep it a double: "5" would come back as an integer.
        if (std::string_view(buf, static_cast<std::size_t>(end - buf)).find_first_of(".e") ==
            std::string_view::npos) {
          *end++ = '.';
          *end++ = '0';
        }
      } else if (v.kind() == json::Kind::kInt) {
        const std::int64_t i = *v.as_int();
        // -0 is an integer literal of its own; keep its sign.
        end = i == 0 ? std::strcpy(buf, "-0") + 2 : std::to_chars(buf, buf + sizeof buf, i).ptr;
      } else {
        const auto i = v.as_int();
        end = i ? std::to_chars(buf, buf + sizeof buf, *i).ptr
                : std::to_chars(buf, buf + sizeof buf, static_cast<std::uint64_t>(v.head()[1])).ptr;
      }
      out.append(buf, end);
      break;
    }
    case json::Kind::kString:
      write_string(v.as_string(), out);
      break;
    case json::Kind::kArray: {
      out.push_back('[');
      bool first = true;
      for (const json::Value item : v.items()) {
        if (!first) out.push_back(',');
        first = false;
        write(item, out);
      }
      out.push_back(']');
      break;
    }
    case json::Kind::kObject: {
      out.push_back('{');
      bool first = true;
      for (const json::Member m : v.members()) {
        if (!first) out.push_back(',');
        first = false;
        write_string(m.key.as_string(), out);
        out.push_back(':');
        write(m.value, out);
      }
      out.push_back('}');
      break;
    }
  }
}

bool same(json::Value a, json::Value b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case json::Kind::kNull:
      return true;
    case json::Kind::kBool:
      return a.is_true() == b.is_true();
    case json::Kind::kUInt:
    case json::Kind::kInt:
    case json::Kind::kDouble:
      if (a.as_int() != b.as_int()) return false;
      // Unsigned values above the signed range have no as_int(): compare the words themselves.
      if (a.kind() == json::Kind::kUInt && !a.as_int()) return a.head()[1] == b.head()[1];
      return std::bit_cast<std::uint64_t>(*a.as_double()) ==
             std::bit_cast<std::uint64_t>(*b.as_double());
    case json::Kind::kString:
      return a.as_string() == b.as_string();
    case json::Kind::kArray: {
      auto ia = a.items(), ib = b.items();
      auto x = ia.begin(), y = ib.begin();
      for (; x != ia.end() && y != ib.end(); ++x, ++y) {
        if (!same(*x, *y)) return false;
      }
      return !(x != ia.end()) && !(y != ib.end());
    }
    case json::Kind::kObject: {
      auto ma = a.members(), mb = b.members();
      auto x = ma.begin(), y = mb.begin();
      for (; x != ma.end() && y != mb.end(); ++x, ++y) {
        if ((*x).key.as_string() != (*y).key.as_string() || !same((*x).value, (*y).value)) {
          return false;
        }
      }
      return !(x != ma.end()) && !(y != mb.end());
    }
  }
  return false;
}

// The fast path against the byte-by-byte result: the same error, or the same words.
void check_paths(std::string_view text, const json::ParseError& expected,
                 const std::vector<std::uint64_t>& expected_words) {
  static json::Parser parser(json::ParserPath::kFast);
  std::vector<std::uint64_t> words{expected_words.front()};
  const json::ParseError err = parser.parse(text, words);
  if (err.code != expected.code || err.column != expected.column || words != expected_words) {
    std::fprintf(stderr, "plain path: %s, byte by byte: %s\n", err.message().c_str(),
                 expected.message().c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // One parser for all inputs, as the store keeps one for a whole file: leftovers of a failed
  // line must not leak into the next.
  static json::Parser parser(json::ParserPath::kScalar);
  constexpr std::uint64_t kSentinel = 0x0123456789abcdefULL;
  std::vector<std::uint64_t> out{kSentinel};

  const json::ParseError err = parser.parse(text, out);
  check_paths(text, err, out);
  {
    // The same line moved by up to 64 spaces, so its tokens meet the fast path's 16-byte
    // loads and the end of its padded copy at other places.
    const std::string shifted = std::string(size * 37 % 64 + 1, ' ') + std::string(text);
    std::vector<std::uint64_t> shifted_out{kSentinel};
    check_paths(shifted, parser.parse(shifted, shifted_out), shifted_out);
  }
  const bool accepted = Reference(text).accepts();
  if (err) {
    if (accepted) {
      std::fprintf(stderr, "rejected a valid line: %s\n", err.message().c_str());
      std::abort();
    }
    FUZZ_CHECK(out.size() == 1 && out[0] == kSentinel);
    FUZZ_CHECK(err.column >= 1 && err.column <= std::max<std::size_t>(size, 1));
    FUZZ_CHECK(!json::error_text(err.code).empty());
    return 0;
  }
  FUZZ_CHECK(accepted);
  FUZZ_CHECK(out[0] == kSentinel);
  const json::Value root(out.data() + 1);
  FUZZ_CHECK(json::tape::value_words(root.head()) == out.size() - 1);

  TapeItems items;
  walk(root, items, 0);
  // A repeated key drops the earlier value; only when that removed no literal of a kind do the
  // tape and the text list that kind one for one.
  const Literals lit = scan_literals(text);
  if (lit.numbers.size() == items.numbers.size()) {
    for (std::size_t i = 0; i < lit.numbers.size(); ++i)
      check_number(items.numbers[i], lit.numbers[i]);
  }
  if (lit.strings.size() == items.strings.size()) {
    for (std::size_t i = 0; i < lit.strings.size(); ++i)
      FUZZ_CHECK(lit.strings[i] == items.strings[i]);
  }

  std::string again;
  write(root, again);
  std::vector<std::uint64_t> reparsed;
  const json::ParseError err2 = parser.parse(again, reparsed);
  if (err2) {
    std::fprintf(stderr, "round trip rejected: %s\n%s\n", err2.message().c_str(), again.c_str());
    std::abort();
  }
  FUZZ_CHECK(same(root, json::Value(reparsed.data())));
  return 0;
}
