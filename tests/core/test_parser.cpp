// The plain fast path against the byte-by-byte parser: the same words for every line it reads,
// the same error text and column for every line it gives up on, and no giving up on the lines
// a stream is made of.
#include <doctest/doctest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "messages/parser.hpp"
#include "messages/tape.hpp"

namespace json = vantrel::json;

namespace {

struct Outcome {
  json::ParseError error;
  std::vector<std::uint64_t> words;
  bool fell_back = false;
};

Outcome parse_with(json::ParserPath path, const std::string& line) {
  // A parser per path, kept across lines as a load keeps one: nothing of one line may leak
  // into the next.
  static json::Parser scalar(json::ParserPath::kScalar);
  static json::Parser fast(json::ParserPath::kFast);
  json::Parser& parser = path == json::ParserPath::kScalar ? scalar : fast;
  Outcome out;
  out.error = parser.parse(line, out.words);
  out.fell_back = parser.fell_back();
  return out;
}

// Parses `line` both ways and checks they agree; returns the fast path's outcome.
Outcome check_same(const std::string& line) {
  CAPTURE(line);
  const Outcome expected = parse_with(json::ParserPath::kScalar, line);
  const Outcome actual = parse_with(json::ParserPath::kFast, line);
  CHECK(actual.error.code == expected.error.code);
  CHECK(actual.error.column == expected.error.column);
  CHECK(actual.words == expected.words);
  return actual;
}

const std::string kDelta =
    R"({"op":"mcm","clk":"AKqSrwYAqYPkBgC2zpsH","pt":1657440994738,"mc":[{"id":"1.200806927",)"
    R"("rc":[{"atb":[[1.84,5.7],[1.83,0]],"atl":[[5.2,5.7]],"trd":[[1.9,1234.56]],)"
    R"("ltp":1.84,"tv":98765.43,"id":2857977}]}]})";

const std::string kSpaced =
    R"({"op": "mcm", "clk": null, "pt": 1617043022047, "mc": [{"id": "1.181223995", )"
    R"("rc": [{"atb": [[1.5, 20.3], [1.49, 2]], "bdatb": [[0, 1.5, 20.3]], "spn": 2.02, )"
    R"("id": 786779}], "img": false}]})";

const std::string kDefinition =
    R"({"op":"mcm","pt":1,"mc":[{"id":"1.1","marketDefinition":{"bspMarket":true,)"
    R"("marketType":"WIN","marketTime":"2021-03-30T16:20:00.000Z","betDelay":0,)"
    R"("version":4495990919,"regulators":["MR_INT"],"runners":[{"adjustmentFactor":)"
    R"(26.285,"status":"ACTIVE","sortPriority":1,"id":786779,"removalDate":null,)"
    R"("bsp":1.2610804758204543}]}}]})";

}  // namespace

TEST_CASE("the fast path reads stream lines itself, as the byte-by-byte parser does") {
  for (const std::string& line : {kDelta, kSpaced, kDefinition}) {
    // Moved along, so its tokens meet the 16-byte loads and the padding at other places.
    for (std::size_t shift = 0; shift < 20; ++shift) {
      const Outcome out = check_same(std::string(shift, ' ') + line);
      CHECK_FALSE(out.fell_back);
    }
  }
}

TEST_CASE("every cut of a stream line fails or succeeds as the byte-by-byte parser says") {
  for (const std::string& line : {kDelta, kSpaced, kDefinition}) {
    for (std::size_t length = 0; length <= line.size(); ++length) {
      check_same(line.substr(0, length));
      // The same cut with the last byte replaced: broken tokens of every kind.
      if (length > 0) check_same(line.substr(0, length - 1) + "x");
    }
  }
}

TEST_CASE("numbers and pairs at the edges of what the fast path folds") {
  const char* const values[] = {
      "[1.5,20.3]",
      "[262143,16777215]",
      "[262144,1]",
      "[1,16777216]",
      "[26214.3,1677721.5]",
      "[2621.44,1]",
      "[1.234,2]",
      "[1.2345,2]",
      "[0.001,0.5]",
      "[0,0]",
      "[01,2]",
      "[1,02]",
      "[1.,2]",
      "[.5,2]",
      "[-1,2]",
      "[1,-2]",
      "[1, 2]",
      "[1 ,2]",
      "[1,2 ]",
      "[ 1,2]",
      "[1,2,3]",
      "[1]",
      "[1.5e1,2]",
      "[1,2E0]",
      "[1.0,2.00]",
      "[1234567,1]",
      "[12345678,1]",
      "[1,12345678]",
      "[[1,2],3]",
      "[3,[1,2]]",
      "-0",
      "-0.0",
      "0.1",
      "-9223372036854775808",
      "-9223372036854775809",
      "18446744073709551615",
      "18446744073709551616",
      "1234567890123456789",
      "12345678901234567890",
      "9007199254740993.5",
      "1.2610804758204543",
      "-28.010417654532947",
      "0.0000000000000000001",
      "281474976710655",
      "281474976710656",
      "-281474976710656",
      "1e5",
      "1E+2",
      "2.5e-3",
      "00",
      "-",
      "1.2.3",
      "1-2",
      "[1,2]x",
      "[1,2]]",
      "[[1,2]",
  };
  for (const char* value : values) {
    check_same(value);
    check_same(std::string(R"({"pt":1,"p":)") + value + "}");
  }
}

TEST_CASE("strings, literals and keys as the byte-by-byte parser reads them") {
  std::vector<std::string> lines;
  // Every length around the in-word limit, whole words and the 16-byte loads.
  for (std::size_t length = 0; length <= 40; ++length) {
    const std::string text(length, static_cast<char>('a' + length % 26));
    lines.push_back('"' + text + '"');
    lines.push_back(R"({")" + text + R"(":")" + text + R"("})");
  }
  for (const char* line : {
           R"({"a":1,"a":2})",
           R"({"marketType":1,"marketTime":2})",
           R"({"marketType":1,"marketTime":2,"marketType":3})",
           R"({"a":{"b":1},"b":{"a":1,"b":2}})",
           R"({"k":"a\"b"})",
           R"(["a\,1])",
           "[\"a\x01,1]",
           R"({"k":"\u00e9"})",
           "{\"k\":\"a\x01b\"}",
           R"([true,false,null])",
           R"([truex])",
           R"([nul])",
           R"([fals])",
           R"({"a" : 1 , "b" :[ true ] })",
           "\t{\"a\":\r\n1}\t",
           R"({"a":1,})",
           R"([1,])",
           R"({1:2})",
           R"({"a"})",
           R"({} {})",
       }) {
    lines.emplace_back(line);
  }
  // A NUL inside a string, and where a string ends.
  lines.emplace_back("{\"k\":\"a\0b\"}", 11);
  lines.emplace_back("[\"a\0,1]", 7);
  for (const std::string& line : lines) check_same(line);
}

TEST_CASE("nesting up to the depth limit and one past it") {
  for (const int depth : {1, 126, 127, 128}) {
    for (const std::string inner : {"", "[1.5,2]", "1", R"({"a":1})"}) {
      check_same(std::string(depth, '[') + inner + std::string(depth, ']'));
      std::string objects;
      for (int i = 0; i < depth; ++i) objects += R"({"a":)";
      check_same(objects + (inner.empty() ? "0" : inner) + std::string(depth, '}'));
    }
  }
}

namespace {

// Elements of flat number arrays: first the short numbers a stream writes (around the limit
// of a pair's price half too), then forms only the general way reads.
const char* const kElements[] = {
    "0",        "7",       "1.5",     "20.3",    "0.001",   "1.0001",   "262143",
    "262144",   "2621.43", "2621.44", "1234567", "12.3456", "-1",       "-0.5",
    "1e2",      "2.5E-1",  "01",      "00.5",    "1.",      "12345678", "1677721.5",
    "16777215", "[1,2]",   "[]",      "null",    "\"a\"",
};
constexpr std::size_t kUsualElements = 12;

const char* const kSeparators[] = {",", ", ", ",  ", " ,", ",\t", ",\n", ",\x01", ";"};

// Arrays of `length` elements with each element at each place, the other places taken by
// usual elements and mostly plain separators from a small deterministic generator.
std::vector<std::string> number_arrays(std::size_t length) {
  std::vector<std::string> arrays;
  std::uint64_t state = 0x9E3779B97F4A7C15ULL * (length + 1);
  for (const char* element : kElements) {
    for (std::size_t place = 0; place < std::max<std::size_t>(length, 1); ++place) {
      std::string array = "[";
      for (std::size_t i = 0; i < length; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        if (i > 0) {
          const bool plain = (state >> 60) < 10;
          array += plain ? "," : kSeparators[(state >> 40) % std::size(kSeparators)];
        }
        array += i == place ? element : kElements[(state >> 33) % kUsualElements];
      }
      arrays.push_back(array + "]");
    }
  }
  return arrays;
}

}  // namespace

TEST_CASE("flat arrays of numbers read as the byte-by-byte parser reads them") {
  for (std::size_t length = 0; length <= 5; ++length) {
    CAPTURE(length);
    for (const std::string& array : number_arrays(length)) {
      check_same(array);
      check_same(R"({"bdatb":[)" + array + "," + array + "]}");
      // The same array after a 2-number one that folds: nothing of that fold may carry over.
      check_same("[[1.5,2]," + array + "]");
      // Closed by the wrong bracket, where the object's own closing could hide it.
      check_same(R"({"a":)" + array.substr(0, array.size() - 1) + R"(},"b":1})");
    }
  }
}

TEST_CASE("the fast path keeps flat arrays of the stream's numbers to itself") {
  for (const char* line : {
           R"({"bdatb":[[0,1.5,20.3],[1,1.49,5]],"bdatl":[[9,1000,0]]})",
           R"({"bdatb": [[0, 1.5, 20.3], [1, 1.49, 5]], "atb": [[1.5, 20.3]]})",
           R"({"ladder":[[1.01,2,3,4,5.25],[1234567,0.001,262144]],"one":[3]})",
           R"({"trd":[[2621.44,1],[26214.3,16777215],[1.2345,2],[7,1677721.5]]})",
       }) {
    const Outcome out = check_same(line);
    CHECK_FALSE(out.fell_back);
  }
}

TEST_CASE("a byte that ends a plain run, at every place of the 16-byte loads") {
  // The string scan must stop at a backslash or control character wherever it falls in a load,
  // and must not stop at bytes above 0x7F (UTF-8) or just past the control range: a plain
  // string the fast path gave up on would hide a scan that stops in the wrong place.
  for (const char* stop : {"\\n", "\\\"", "\x1f", "\x01"}) {
    for (std::size_t at = 0; at <= 34; ++at) {
      check_same(R"({"k":")" + std::string(at, 'x') + stop + R"(y"})");
    }
  }
  for (const char* pass : {"\xc3\xa9", "\xef\xbf\xbf", " ", "!", "#", "[", "]"}) {
    for (std::size_t at = 0; at <= 34; ++at) {
      CHECK_FALSE(check_same(R"({"k":")" + std::string(at, 'x') + pass + R"(y"})").fell_back);
    }
  }
}

// Both paths now write every word with the same pieces, so agreeing with each other no longer
// checks those pieces: these read the words back through the tape's reader instead.

TEST_CASE("strings read back whole at every length and every distance from the line's end") {
  for (const json::ParserPath path : json::kAllParserPaths) {
    json::Parser parser(path);
    for (std::size_t length = 0; length <= 40; ++length) {
      std::string text;
      for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('a' + (i * 7) % 26);
      // Trailing whitespace moves the end of the line away from the string's last byte.
      for (std::size_t after = 0; after <= 9; ++after) {
        CAPTURE(length);
        CAPTURE(after);
        std::vector<std::uint64_t> words;
        REQUIRE_FALSE(parser.parse('"' + text + '"' + std::string(after, ' '), words));
        CHECK(json::Value(words.data()).as_string() == text);
        // The bytes after a long string's last one are zero, as the tape promises.
        const std::size_t tail = length % 8;
        if (length > 6 && tail != 0) CHECK((words.back() >> (8 * tail)) == 0);
      }
    }
  }
}

TEST_CASE("escaped strings, copied byte by byte, read back decoded") {
  json::Parser parser(json::ParserPath::kFast);
  for (const std::size_t length : {0, 1, 5, 6, 7, 8, 9, 15, 16, 17, 33}) {
    const std::string plain(length, 'q');
    for (const auto& [escaped, decoded] : {std::pair<std::string, std::string>{"\\n", "\n"},
                                           {"\\u00e9", "\xc3\xa9"},
                                           {"\\ud83d\\ude00", "\xf0\x9f\x98\x80"}}) {
      CAPTURE(length);
      std::vector<std::uint64_t> words;
      REQUIRE_FALSE(parser.parse('"' + plain + escaped + '"', words));
      CHECK(parser.fell_back());
      CHECK(json::Value(words.data()).as_string() == plain + decoded);
    }
  }
}

TEST_CASE("numbers and folded pairs read back as the C library reads their literals") {
  const char* const literals[] = {
      "0",        "7",       "1.5",      "0.001",    "1.2345",          "262143",
      "262144",   "2621.43", "16777215", "16777216", "1677721.5",       "1234567",
      "12345678", "0.5e1",   "-3",       "-0.25",    "281474976710655", "281474976710656"};
  for (const json::ParserPath path : json::kAllParserPaths) {
    json::Parser parser(path);
    for (const char* price : literals) {
      for (const char* size : literals) {
        CAPTURE(price);
        CAPTURE(size);
        std::vector<std::uint64_t> words;
        REQUIRE_FALSE(parser.parse(std::string("[") + price + "," + size + "]", words));
        const json::Value array(words.data());
        json::Value a;
        json::Value b;
        REQUIRE(array.is_array());
        REQUIRE(array.items().first_two(a, b));
        CHECK(a.as_double() == std::strtod(price, nullptr));
        CHECK(b.as_double() == std::strtod(size, nullptr));
        // An integer literal stays an integer, whether its pair folded or not.
        const bool integer = std::string_view(price).find_first_of(".e") == std::string_view::npos;
        CHECK((a.kind() == json::Kind::kUInt || a.kind() == json::Kind::kInt) == integer);
      }
    }
  }
}
