// The inflate and line layer against a plain reading of the same rules.
//
// The first input byte picks the mode:
//   bit 0       gzip (the rest is a compressed file) or plain text;
//   bits 1-2    both set, in plain mode: put the text behind a run of almost 1 MiB of "x", so
//               that its first line outgrows the reader's window and later ones cross its edge;
//   bits 3-7    stop after that many lines (0: never), as a failing handler would.
// Plain text is split on LF, checked as UTF-8 and trimmed of White_Space here, one line at a
// time; compressed text is inflated by zlib first. The reader must hand out exactly those
// lines and end the same way.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "sources/recording_reader.hpp"

using namespace vantrel;

namespace {

// ---------------------------------------------------------------------------------------------
// Reference lines. Their byte loops are kept out of the coverage feedback: it would steer the
// fuzzer towards this code rather than the reader's, and would make padded inputs crawl.

#define REFERENCE __attribute__((no_sanitize("coverage")))

// One strict UTF-8 sequence at `i` (the well-formed sequences of Unicode's table 3-7): its code
// point and length, or length 0 when malformed.
REFERENCE std::size_t decode_at(std::string_view s, std::size_t i, std::uint32_t& cp) {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t len;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (t & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  return len;
}

REFERENCE bool is_valid_utf8(std::string_view s) {
  std::uint32_t cp;
  for (std::size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = decode_at(s, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

REFERENCE bool is_white_space(std::uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

enum class End { kOk, kBadUtf8, kGzipFault, kStopped };

struct Outcome {
  std::vector<std::string> lines;
  End end = End::kOk;
};

// Valid UTF-8 without its leading and trailing White_Space.
REFERENCE std::string_view trim(std::string_view s) {
  std::uint32_t cp;
  std::size_t first = 0;
  while (first < s.size()) {
    const std::size_t len = decode_at(s, first, cp);
    if (!is_white_space(cp)) break;
    first += len;
  }
  std::size_t last = s.size();
  while (last > first) {
    std::size_t k = last - 1;
    while ((static_cast<unsigned char>(s[k]) & 0xC0) == 0x80) --k;
    decode_at(s, k, cp);
    if (!is_white_space(cp)) break;
    last = k;
  }
  return s.substr(first, last - first);
}

// The lines of decoded text, ending early at the first malformed line or at `stop_after`.
REFERENCE Outcome reference_lines(std::string_view text, std::size_t stop_after) {
  Outcome o;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    const std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    if (!is_valid_utf8(line)) {
      o.end = End::kBadUtf8;
      return o;
    }
    const std::string_view trimmed = trim(line);
    if (trimmed.empty()) continue;
    o.lines.emplace_back(trimmed);
    if (o.lines.size() == stop_after) {
      o.end = End::kStopped;
      return o;
    }
  }
  return o;
}

enum class Inflated { kComplete, kDamaged, kCodesRefused };

// zlib's reading of the file: every member in turn, as long as what follows a complete member
// starts with the gzip magic; anything else after one is not ours to judge.
//
// zlib refuses a block whose Huffman code lengths do not make a complete code; igzip decodes
// by them all the same. Its text then stands or falls by the member's checksum, which the
// fuzzer learns to write from the reader's comparison, so such a member may read either way.
Inflated zlib_inflate(std::string_view in, std::string& out) {
  z_stream z{};
  if (inflateInit2(&z, 15 + 16) != Z_OK) std::abort();
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  Inflated outcome = Inflated::kDamaged;
  for (;;) {
    out.resize(out.size() + 65536);
    z.next_out = reinterpret_cast<Bytef*>(out.data() + out.size() - 65536);
    z.avail_out = 65536;
    const int rc = inflate(&z, Z_NO_FLUSH);
    out.resize(out.size() - z.avail_out);
    if (rc == Z_STREAM_END) {
      if (z.avail_in < 2 || z.next_in[0] != 0x1f || z.next_in[1] != 0x8b) {
        outcome = Inflated::kComplete;
        break;
      }
      inflateReset(&z);
    } else if (rc != Z_OK) {
      // Corrupt, or the input ran out.
      const std::string_view why = z.msg != nullptr ? z.msg : "";
      if (why == "invalid code lengths set" || why == "invalid literal/lengths set" ||
          why == "invalid distances set") {
        outcome = Inflated::kCodesRefused;
      }
      break;
    }
  }
  inflateEnd(&z);
  return outcome;
}

// ---------------------------------------------------------------------------------------------
// The reader's side.

class Collect final : public LineHandler {
 public:
  explicit Collect(std::size_t stop_after) : stop_after_(stop_after) {}
  bool on_line(std::string_view line) override {
    FUZZ_CHECK(!line.empty());
    lines.emplace_back(line);
    return lines.size() != stop_after_;
  }
  std::vector<std::string> lines;

 private:
  std::size_t stop_after_;
};

constexpr std::string_view kBadUtf8Text = "stream did not contain valid UTF-8";

End reader_end(const ReadResult& r) {
  switch (r.status) {
    case ReadStatus::kOk:
      return End::kOk;
    case ReadStatus::kStopped:
      return End::kStopped;
    case ReadStatus::kFailed:
      return r.message == kBadUtf8Text ? End::kBadUtf8 : End::kGzipFault;
  }
  return End::kOk;
}

REFERENCE void check_well_formed_lines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    FUZZ_CHECK(line.find('\n') == std::string::npos);
    FUZZ_CHECK(is_valid_utf8(line));
    FUZZ_CHECK(trim(line).size() == line.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const bool gzip = mode & 1;
  const bool padded = !gzip && (mode & 6) == 6;
  const std::size_t stop_after = mode >> 3;
  std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  if (padded) input.insert(0, kLineBufferSize - 256 + (size % 512), 'x');

  Collect got(stop_after);
  const ReadResult result = sources::read_buffer_lines(
      input, gzip ? sources::Format::kGzip : sources::Format::kPlain, got);
  const End end = reader_end(result);
  check_well_formed_lines(got.lines);
  if (result.status == ReadStatus::kFailed) {
    FUZZ_CHECK(!result.message.empty());
  } else {
    FUZZ_CHECK(result.message.empty());
  }

  Outcome expected;
  if (gzip) {
    std::string text;
    const Inflated inflated = zlib_inflate(input, text);
    if (inflated == Inflated::kCodesRefused && result.status == ReadStatus::kOk) return 0;
    if (inflated != Inflated::kComplete) {
      // How far each inflater gets into damaged data differs; it must fail all the same,
      // unless the handler stopped it first.
      if (end == End::kStopped) {
        FUZZ_CHECK(got.lines.size() == stop_after);
      } else {
        FUZZ_CHECK(result.status == ReadStatus::kFailed);
      }
      return 0;
    }
    expected = reference_lines(text, stop_after);
  } else {
    expected = reference_lines(input, stop_after);
  }
  if (end != expected.end || got.lines != expected.lines) {
    std::fprintf(stderr, "reader: %zu lines, end %d (%s); reference: %zu lines, end %d\n",
                 got.lines.size(), static_cast<int>(end), result.message.c_str(),
                 expected.lines.size(), static_cast<int>(expected.end));
    std::abort();
  }
  return 0;
}
