#include "messages/structural_index.hpp"

#include <immintrin.h>

#include <bit>
#include <cstring>

namespace vantrel::json {

namespace {

constexpr std::size_t kBlock = 64;
constexpr std::uint64_t kEvenBits = 0x5555'5555'5555'5555ULL;

// One 64-byte block, one bit per byte (bit i is byte i).
struct BlockMasks {
  std::uint64_t quote;
  std::uint64_t backslash;
  std::uint64_t op;       // { } [ ] : ,
  std::uint64_t ws;       // space, tab, LF, CR
  std::uint64_t control;  // below 0x20
};

// Byte classes by nibble: a byte is in a class when its low-nibble entry and its high-nibble
// entry share the class bit. Bits 0-2 are the operators (',' ':' and the brackets), bits 3-4
// the whitespace (' ', then tab, LF, CR). Bytes from 0x80 up have high nibbles 8-F: no class.
constexpr std::uint8_t kLowNibbleClass[16] = {0x08, 0,    0,    0,    0,    0,    0, 0,
                                              0,    0x10, 0x12, 0x04, 0x01, 0x14, 0, 0};
constexpr std::uint8_t kHighNibbleClass[16] = {0x10, 0, 0x09, 0x02, 0, 0x04, 0, 0x04,
                                               0,    0, 0,    0,    0, 0,    0, 0};
constexpr std::uint8_t kOpClasses = 0x07;
constexpr std::uint64_t kWsClasses = 0x18;

// The per-block bit arithmetic shared by every vector width; the vector code only classifies
// bytes and (where it can) computes the prefix XOR.
class BlockScanner {
 public:
  explicit BlockScanner(std::uint32_t* out) : out_(out) {}

  // Quotes that are not escaped. A byte is escaped when an odd-length run of backslashes ends
  // just before it; a run's length is odd exactly when adding its first bit to it carries to a
  // bit of the other parity than the run's start.
  std::uint64_t unescaped_quotes(const BlockMasks& m) {
    backslash_seen_ |= m.backslash;
    const std::uint64_t carried = escaped_carry_;
    const std::uint64_t backslash = m.backslash & ~carried;
    const std::uint64_t starts = backslash & ~(backslash << 1);
    const std::uint64_t even_ends = backslash + (starts & kEvenBits);
    std::uint64_t odd_ends;
    escaped_carry_ = __builtin_add_overflow(backslash, starts & ~kEvenBits, &odd_ends) ? 1 : 0;
    const std::uint64_t escaped = ((even_ends & ~kEvenBits) | (odd_ends & kEvenBits)) & ~backslash;
    return m.quote & ~(escaped | carried);
  }

  // `quotes` from unescaped_quotes(), `inside` its prefix XOR: set from an opening quote up
  // to, not including, its closing quote.
  void finish_block(const BlockMasks& m, std::uint64_t quotes, std::uint64_t inside,
                    std::uint32_t base) {
    inside ^= in_string_;
    in_string_ = static_cast<std::uint64_t>(static_cast<std::int64_t>(inside) >> 63);
    const std::uint64_t content = inside & ~quotes;
    control_in_string_ |= m.control & content;
    const std::uint64_t outside = ~(inside | quotes);
    // Bytes of literals (numbers, true, false, null, and anything invalid): only the first
    // of each run is a position; the parser checks where the run really ends.
    const std::uint64_t other = outside & ~(m.op | m.ws);
    const std::uint64_t starts = other & ~((other << 1) | other_carry_);
    other_carry_ = other >> 63;
    write_positions((m.op & outside) | quotes | starts, base);
  }

  // Writes the closing entries; returns false when the line needs the reference parser.
  bool finish(std::uint32_t length) {
    *out_++ = length;
    *out_++ = length;
    return control_in_string_ == 0;
  }
  bool backslash_seen() const { return backslash_seen_ != 0; }

 private:
  // Eight positions are written whether there are that many or not (the space has room for
  // it): a block holds about a dozen, and a fixed count of stores beats a branch per position.
  void write_positions(std::uint64_t bits, std::uint32_t base) {
    const int count = std::popcount(bits);
    std::uint32_t* out = out_;
    out_ += count;
    while (true) {
      for (int i = 0; i < 8; ++i) {
        out[i] = base + static_cast<std::uint32_t>(std::countr_zero(bits));
        bits &= bits - 1;
      }
      if (bits == 0) return;
      out += 8;
    }
  }

  std::uint32_t* out_;
  std::uint64_t escaped_carry_ = 0;  // 1 when the next block's first byte is escaped
  std::uint64_t in_string_ = 0;      // all ones when the next block starts inside a string
  std::uint64_t other_carry_ = 0;    // 1 when the last byte was part of a literal
  std::uint64_t control_in_string_ = 0;
  std::uint64_t backslash_seen_ = 0;
};

std::uint64_t prefix_xor_shifts(std::uint64_t x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

// The block at `i`: in place when whole, else the rest of the line padded with spaces, which
// index nothing inside a string or out.
inline const unsigned char* block_at(const unsigned char* s, std::size_t n, std::size_t i,
                                     unsigned char (&tail)[kBlock]) {
  if (i + kBlock <= n) return s + i;
  std::memset(tail, ' ', kBlock);
  std::memcpy(tail, s + i, n - i);
  return tail;
}

// The block loop is written out per instruction set: a loop shared as a template would be
// compiled for the baseline target, and could not inline the vector code.

// ---------------------------------------------------------------------------------------------
// SSE4.2: four 16-byte lanes; the prefix XOR by shifts, so no carry-less multiply is needed.

__attribute__((target("sse4.2"))) inline std::uint64_t movemask_16(__m128i v) {
  return static_cast<std::uint16_t>(_mm_movemask_epi8(v));
}

__attribute__((target("sse4.2"))) inline void classify_16(const unsigned char* p, int lane,
                                                          BlockMasks& m) {
  const __m128i low_table = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLowNibbleClass));
  const __m128i high_table = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kHighNibbleClass));
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i cls =
      _mm_and_si128(_mm_shuffle_epi8(low_table, _mm_and_si128(v, nibble)),
                    _mm_shuffle_epi8(high_table, _mm_and_si128(_mm_srli_epi16(v, 4), nibble)));
  const __m128i zero = _mm_setzero_si128();
  const int shift = 16 * lane;
  m.op |=
      (~movemask_16(_mm_cmpeq_epi8(_mm_and_si128(cls, _mm_set1_epi8(kOpClasses)), zero)) & 0xFFFF)
      << shift;
  m.ws |=
      (~movemask_16(_mm_cmpeq_epi8(_mm_and_si128(cls, _mm_set1_epi8(kWsClasses)), zero)) & 0xFFFF)
      << shift;
  m.quote |= movemask_16(_mm_cmpeq_epi8(v, _mm_set1_epi8('"'))) << shift;
  m.backslash |= movemask_16(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))) << shift;
  m.control |= movemask_16(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v)) << shift;
}

__attribute__((target("sse4.2,popcnt"))) bool index_sse42(const unsigned char* s, std::size_t n,
                                                          std::uint32_t* out, bool& backslash) {
  BlockScanner scanner(out);
  alignas(kBlock) unsigned char tail[kBlock];
  for (std::size_t i = 0; i < n; i += kBlock) {
    const unsigned char* p = block_at(s, n, i, tail);
    BlockMasks m{};
    for (int lane = 0; lane < 4; ++lane) classify_16(p + 16 * lane, lane, m);
    const std::uint64_t quotes = scanner.unescaped_quotes(m);
    scanner.finish_block(m, quotes, prefix_xor_shifts(quotes), static_cast<std::uint32_t>(i));
  }
  backslash = scanner.backslash_seen();
  return scanner.finish(static_cast<std::uint32_t>(n));
}

// ---------------------------------------------------------------------------------------------
// AVX2: two 32-byte lanes; the prefix XOR is one carry-less multiply by all ones.

__attribute__((target("avx2"))) inline std::uint64_t movemask_32(__m256i v) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(v));
}

__attribute__((target("avx2"))) inline void classify_32(const unsigned char* p, int lane,
                                                        BlockMasks& m) {
  const __m256i low_table = _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLowNibbleClass)));
  const __m256i high_table = _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(kHighNibbleClass)));
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i cls = _mm256_and_si256(
      _mm256_shuffle_epi8(low_table, _mm256_and_si256(v, nibble)),
      _mm256_shuffle_epi8(high_table, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
  const __m256i zero = _mm256_setzero_si256();
  const int shift = 32 * lane;
  m.op |=
      (~movemask_32(_mm256_cmpeq_epi8(_mm256_and_si256(cls, _mm256_set1_epi8(kOpClasses)), zero)) &
       0xFFFF'FFFFULL)
      << shift;
  m.ws |=
      (~movemask_32(_mm256_cmpeq_epi8(_mm256_and_si256(cls, _mm256_set1_epi8(kWsClasses)), zero)) &
       0xFFFF'FFFFULL)
      << shift;
  m.quote |= movemask_32(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"'))) << shift;
  m.backslash |= movemask_32(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\'))) << shift;
  m.control |= movemask_32(_mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1F)), v))
               << shift;
}

__attribute__((target("pclmul"))) inline std::uint64_t prefix_xor_clmul(std::uint64_t x) {
  const __m128i all_ones = _mm_set1_epi8(-1);
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(
      _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<std::int64_t>(x)), all_ones, 0)));
}

__attribute__((target("avx2,bmi,pclmul"))) bool index_avx2(const unsigned char* s, std::size_t n,
                                                           std::uint32_t* out, bool& backslash) {
  BlockScanner scanner(out);
  alignas(kBlock) unsigned char tail[kBlock];
  for (std::size_t i = 0; i < n; i += kBlock) {
    const unsigned char* p = block_at(s, n, i, tail);
    BlockMasks m{};
    classify_32(p, 0, m);
    classify_32(p + 32, 1, m);
    const std::uint64_t quotes = scanner.unescaped_quotes(m);
    scanner.finish_block(m, quotes, prefix_xor_clmul(quotes), static_cast<std::uint32_t>(i));
  }
  backslash = scanner.backslash_seen();
  return scanner.finish(static_cast<std::uint32_t>(n));
}

#ifndef VANTREL_PARSER_PATH
#define VANTREL_PARSER_PATH -1
#endif

ParserPath best_supported_path() {
  for (const ParserPath path : {ParserPath::kAvx2, ParserPath::kSse42}) {
    if (parser_path_supported(path)) return path;
  }
  return ParserPath::kScalar;
}

}  // namespace

std::string_view parser_path_name(ParserPath path) {
  switch (path) {
    case ParserPath::kScalar:
      return "scalar";
    case ParserPath::kSse42:
      return "sse42";
    case ParserPath::kAvx2:
      return "avx2";
  }
  return "";
}

std::optional<ParserPath> parser_path_named(std::string_view name) {
  for (const ParserPath path : kAllParserPaths) {
    if (parser_path_name(path) == name) return path;
  }
  return std::nullopt;
}

bool parser_path_supported(ParserPath path) {
  switch (path) {
    case ParserPath::kScalar:
      return true;
    case ParserPath::kSse42:
      return __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("popcnt");
    case ParserPath::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
             __builtin_cpu_supports("pclmul");
  }
  return false;
}

ParserPath default_parser_path() {
  static const ParserPath path = [] {
    if constexpr (VANTREL_PARSER_PATH >= 0) {
      // A pinned path the CPU lacks falls back to the best one below it.
      auto pinned = static_cast<ParserPath>(VANTREL_PARSER_PATH);
      while (!parser_path_supported(pinned)) {
        pinned = static_cast<ParserPath>(static_cast<int>(pinned) - 1);
      }
      return pinned;
    }
    return best_supported_path();
  }();
  return path;
}

bool StructuralIndex::build(ParserPath path, std::string_view line) {
  if (path == ParserPath::kScalar || line.size() >= UINT32_MAX - 2) return false;
  const std::size_t room = line.size() + 2 + 8;  // the last block's batch may overshoot
  if (room > capacity_) {
    positions_.reset(new std::uint32_t[room]);  // left uninitialised: written before read
    capacity_ = room;
  }
  const auto* s = reinterpret_cast<const unsigned char*>(line.data());
  if (path == ParserPath::kAvx2)
    return index_avx2(s, line.size(), positions_.get(), has_backslash_);
  return index_sse42(s, line.size(), positions_.get(), has_backslash_);
}

void StructuralIndex::release_memory() {
  positions_.reset();
  capacity_ = 0;
}

}  // namespace vantrel::json
