// Reading decimal digits eight at a time from one 64-bit load (first byte lowest), for both
// line parsers.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace vantrel::json::digits {

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

}  // namespace vantrel::json::digits
