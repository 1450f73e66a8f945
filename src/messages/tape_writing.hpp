// What both line parsers build the tape with: whitespace, digits read eight at a time, short
// numbers, and every word they write, the folding of pairs included. The two must write the
// same words for a line, so a change to the tape is made here, once, for both.
//
// What takes the cursor or the tape position by reference is inlined always: the fast path's
// loop keeps both in registers only if nothing it calls takes them out of line. The digit
// helpers are left to the compiler, which weighs them better (forced inline, they cost the
// fast path a few per cent).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "messages/tape.hpp"

#define VANTREL_TAPE_INLINE inline __attribute__((always_inline))

namespace vantrel::json {

// ---------------------------------------------------------------------------------------------
// Reading

VANTREL_TAPE_INLINE bool is_ws(unsigned char c) {
  constexpr std::uint64_t kWs = (1ULL << ' ') | (1ULL << '\n') | (1ULL << '\t') | (1ULL << '\r');
  return c <= ' ' && ((kWs >> c) & 1) != 0;
}

VANTREL_TAPE_INLINE void skip_ws(const unsigned char*& p, const unsigned char* end) {
  while (p < end && is_ws(*p)) ++p;
}

// For text followed by a padding of zeros, which are not whitespace: the skip stops by its end.
VANTREL_TAPE_INLINE void skip_ws(const unsigned char*& p) {
  while (is_ws(*p)) ++p;
}

namespace digits {

inline constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline constexpr std::uint64_t kPow10Int[9] = {1,      10,      100,      1000,     10000,
                                               100000, 1000000, 10000000, 100000000};

inline std::uint64_t load8(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The high bit of each byte of v that is not a digit. A digit, and only a digit, turns into
// 0 to 9 when its high nibble 3 is taken off; with the top bit set aside first, adding 0x76
// reaches the top bit from 10 up without carrying into the next byte.
inline std::uint64_t non_digit_bytes(std::uint64_t v) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  const std::uint64_t x = v ^ 0x3030303030303030ULL;
  return (((x & kLow7) + 0x7676767676767676ULL) | x) & ~kLow7;
}

// Digits at the front of eight bytes: 0 to 8.
inline int leading_digits(std::uint64_t v) {
  const std::uint64_t non_digits = non_digit_bytes(v);
  return non_digits == 0 ? 8 : std::countr_zero(non_digits) / 8;
}

// The value of the first n (1 to 8) digit bytes of v: shifted to the top, the bytes below
// read as leading zeros, and three multiplications combine pairs, quads and octets.
inline std::uint64_t digits_value(std::uint64_t v, int n) {
  v <<= 8 * (8 - n);
  v = ((v & 0x0F0F0F0F0F0F0F0FULL) * 2561) >> 8;
  v = ((v & 0x00FF00FF00FF00FFULL) * 6553601) >> 16;
  return ((v & 0x0000FFFF0000FFFFULL) * 42949672960001ULL) >> 32;
}

}  // namespace digits

// The number at the cursor (after its sign), when it ends inside the eight bytes loaded from
// there: digits, or digits, a point and digits, as prices and sizes always are. Its digits read
// as one integer, `whole` of them before the point and `fraction` after it, and the cursor
// moves past them; false for anything else. A leading zero and what follows the number are the
// caller's to judge.
VANTREL_TAPE_INLINE bool take_short_number(const unsigned char*& p, std::uint64_t& significand,
                                           int& whole, int& fraction) {
  const std::uint64_t v = digits::load8(p);
  const std::uint64_t non_digits = digits::non_digit_bytes(v);
  if (non_digits == 0) return false;
  whole = std::countr_zero(non_digits) / 8;
  if (whole == 0) return false;
  int length = whole;
  std::uint64_t packed = v;
  fraction = 0;
  if (((v >> (8 * whole)) & 0xFF) == '.') {
    const std::uint64_t after_point = non_digits & (non_digits - 1);
    if (after_point == 0) return false;
    length = std::countr_zero(after_point) / 8;
    fraction = length - whole - 1;
    // Close the gap the point leaves, so the digits read as one integer.
    const std::uint64_t below = (std::uint64_t{1} << (8 * whole)) - 1;
    packed = (v & below) | ((v >> 8) & ~below);
    if (fraction == 0) return false;
    --length;
  }
  significand = digits::digits_value(packed, length);
  p += length + (fraction != 0);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Writing. `w` is the tape position, moved past what is written.

// An integer literal by its sign and magnitude (at most 2^63 when negative; -0 stays the
// integer 0): one word up to 48 bits, two beyond.
VANTREL_TAPE_INLINE void write_integer(std::uint64_t*& w, bool negative, std::uint64_t magnitude) {
  using namespace tape;
  if (magnitude <= kPayloadMask) {
    *w++ = make(negative ? kNegInt48 : kUInt48, magnitude);
  } else if (negative) {
    *w++ = make(kBigInt, 0);
    *w++ = static_cast<std::uint64_t>(-static_cast<std::int64_t>(magnitude - 1) - 1);
  } else {
    *w++ = make(kBigUInt, 0);
    *w++ = magnitude;
  }
}

// significand / 10^fraction for a significand of at most 2^53 and at most 22 decimals: both
// operands are exact, so the one rounding gives the correctly rounded double of the literal.
VANTREL_TAPE_INLINE double exact_decimal(std::uint64_t significand, int fraction) {
  return static_cast<double>(significand) / digits::kPow10[fraction];
}

// Bytes a string's words are loaded from: whole words, and at least one.
constexpr std::size_t string_load_bytes(std::size_t len) {
  return len <= 8 ? 8 : (len + 7) / 8 * 8;
}

// A string whose bytes can be read for string_load_bytes(len): up to six bytes live in the
// word, longer strings follow theirs, the last word's padding zero.
VANTREL_TAPE_INLINE void write_string(std::uint64_t*& w, const unsigned char* s, std::size_t len) {
  using namespace tape;
  if (len <= 6) {
    *w++ = short_string_word(digits::load8(s) & ((std::uint64_t{1} << (8 * len)) - 1), len);
    return;
  }
  *w++ = make(kString, len);
  const std::size_t words = (len + 7) / 8;
  if (words <= 4) {
    // Ids and clocks are short: whole-word loads beat a call to memcpy.
    for (std::size_t i = 0; i < words; ++i) w[i] = digits::load8(s + 8 * i);
  } else {
    std::memcpy(w, s, 8 * words);
  }
  if (const std::size_t tail = len % 8) w[words - 1] &= (std::uint64_t{1} << (8 * tail)) - 1;
  w += words;
}

// The same words from bytes that must not be read past the string's end.
inline void write_string_exact(std::uint64_t*& w, const char* s, std::size_t len) {
  using namespace tape;
  if (len <= 6) {
    std::uint64_t payload = 0;
    std::memcpy(&payload, s, len);
    *w++ = short_string_word(payload, len);
    return;
  }
  *w++ = make(kString, len);
  const std::size_t words = (len + 7) / 8;
  w[words - 1] = 0;
  std::memcpy(w, s, len);
  w += words;
}

// Whether two keys on the tape whose words are equal are the same: a key's word holds a short
// key whole and a long key's length, so only long keys need their bytes compared. Callers
// compare the words themselves, in loops where most of them differ.
VANTREL_TAPE_INLINE bool same_key_bytes(const std::uint64_t* a, const std::uint64_t* b) {
  using namespace tape;
  return tag_of(*a) != kString || std::memcmp(a + 1, b + 1, payload_of(*a)) == 0;
}

// Pairs. Kept to each parser that includes them (internal linkage): only so does the fast
// path's loop hold the fold's state in registers, and it loses a few per cent without. For the
// same reason the fold builds its word in its own members, not in helpers handed its halves
// (or itself) by reference, and each parser closes its arrays itself.
namespace {

// A number that can be half of a folded pair: where its word is (if anywhere yet), and what
// the pair keeps of it.
struct PairHalf {
  const std::uint64_t* at = nullptr;
  std::uint64_t mantissa = 0;
  std::uint64_t fraction_digits = 0;
  bool is_integer = false;

  bool fits(int bits) const { return mantissa <= tape::pair_half_max_mantissa(bits); }
  std::uint64_t encode(int bits) const {
    return tape::pair_half(bits, mantissa, fraction_digits, is_integer);
  }
};

// The word of a [price, size] array of two numbers (each its digits as one integer, and how
// many of them are decimals), when both fit their halves.
VANTREL_TAPE_INLINE bool fold_pair(std::uint64_t price, int price_fraction, std::uint64_t size,
                                   int size_fraction, std::uint64_t& word) {
  using namespace tape;
  if (price_fraction > 3 || size_fraction > 3 || price > pair_half_max_mantissa(kPriceBits) ||
      size > pair_half_max_mantissa(kSizeBits)) {
    return false;
  }
  const auto price_digits = static_cast<std::uint64_t>(price_fraction);
  const auto size_digits = static_cast<std::uint64_t>(size_fraction);
  word = pair_word(pair_half(kPriceBits, price, price_digits, price_fraction == 0),
                   pair_half(kSizeBits, size, size_digits, size_fraction == 0));
  return true;
}

// The last two numbers written that could be folded. An array folds when its two body words
// are exactly these two.
struct PairFold {
  PairHalf first;
  PairHalf second;

  // Whether a number literal without an exponent may be half of a pair.
  static constexpr bool takes(bool negative, int fraction) { return !negative && fraction <= 3; }

  VANTREL_TAPE_INLINE void note(const std::uint64_t* at, std::uint64_t mantissa,
                                std::uint64_t fraction_digits, bool is_integer) {
    first = second;
    second = PairHalf{at, mantissa, fraction_digits, is_integer};
  }
  VANTREL_TAPE_INLINE bool folds(const std::uint64_t* head) const {
    return first.at == head + 1 && second.at == head + 2 && first.fits(tape::kPriceBits) &&
           second.fits(tape::kSizeBits);
  }
  VANTREL_TAPE_INLINE std::uint64_t word() const {
    return tape::pair_word(first.encode(tape::kPriceBits), second.encode(tape::kSizeBits));
  }
  // Words moved or dropped: what was noted no longer stands where it did.
  VANTREL_TAPE_INLINE void forget() { first.at = second.at = nullptr; }
};

}  // namespace

VANTREL_TAPE_INLINE void close_object(std::uint64_t* head, const std::uint64_t* w) {
  *head = tape::make(tape::kObject, static_cast<std::uint64_t>(w - head - 1));
}

}  // namespace vantrel::json
