// Strict UTF-8 checking and Unicode White_Space trimming for stream lines.
//
// Recorded streams are almost entirely ASCII JSON, so the checker spends its time in a
// word-at-a-time ASCII loop and only decodes sequences where a high bit shows up.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vantrel::utf8 {

inline constexpr std::size_t kAllValid = static_cast<std::size_t>(-1);

namespace detail {

inline constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

inline std::uint64_t load64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Index (0..7) of the lowest-addressed byte whose high bit is set in `mask`.
inline std::size_t first_high_byte(std::uint64_t mask) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(mask)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(mask)) / 8;
  }
}

inline bool is_continuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

}  // namespace detail

// Offset of the first byte of the first malformed sequence, or kAllValid. Overlong forms,
// surrogates and anything past U+10FFFF are malformed; the offset always points at a byte
// that is not LF, so the line holding the fault is the one containing that offset.
inline std::size_t find_invalid(const char* text, std::size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  std::size_t i = 0;
  for (;;) {
    while (i + 32 <= size) {
      const std::uint64_t a = detail::load64(p + i);
      const std::uint64_t b = detail::load64(p + i + 8);
      const std::uint64_t c = detail::load64(p + i + 16);
      const std::uint64_t d = detail::load64(p + i + 24);
      if (((a | b | c | d) & detail::kHighBits) != 0) break;
      i += 32;
    }
    while (i + 8 <= size) {
      const std::uint64_t high = detail::load64(p + i) & detail::kHighBits;
      if (high != 0) {
        i += detail::first_high_byte(high);
        break;
      }
      i += 8;
    }
    while (i < size && p[i] < 0x80) ++i;
    if (i >= size) return kAllValid;

    const unsigned char lead = p[i];
    const std::size_t left = size - i;
    if (lead < 0xC2) return i;  // stray continuation byte, or an overlong two-byte form
    if (lead < 0xE0) {
      if (left < 2 || !detail::is_continuation(p[i + 1])) return i;
      i += 2;
    } else if (lead < 0xF0) {
      if (left < 3) return i;
      const unsigned char lo = lead == 0xE0 ? 0xA0 : 0x80;  // overlong below U+0800
      const unsigned char hi = lead == 0xED ? 0x9F : 0xBF;  // surrogates
      if (p[i + 1] < lo || p[i + 1] > hi || !detail::is_continuation(p[i + 2])) return i;
      i += 3;
    } else if (lead < 0xF5) {
      if (left < 4) return i;
      const unsigned char lo = lead == 0xF0 ? 0x90 : 0x80;  // overlong below U+10000
      const unsigned char hi = lead == 0xF4 ? 0x8F : 0xBF;  // past U+10FFFF
      if (p[i + 1] < lo || p[i + 1] > hi || !detail::is_continuation(p[i + 2]) ||
          !detail::is_continuation(p[i + 3])) {
        return i;
      }
      i += 4;
    } else {
      return i;
    }
  }
}

inline bool is_valid(std::string_view text) {
  return find_invalid(text.data(), text.size()) == kAllValid;
}

namespace detail {

inline bool is_ascii_space(unsigned char c) {
  return c == 0x20 || (c >= 0x09 && c <= 0x0D);
}

// Byte length of the White_Space character starting at p (n bytes available), or 0.
inline std::size_t space_length_at(const unsigned char* p, std::size_t n) {
  const unsigned char c = p[0];
  if (is_ascii_space(c)) return 1;
  switch (c) {
    case 0xC2:  // U+0085, U+00A0
      return n >= 2 && (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
    case 0xE1:  // U+1680
      return n >= 3 && p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;
    case 0xE2:
      if (n < 3) return 0;
      if (p[1] == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F
        const unsigned char t = p[2];
        return (t >= 0x80 && t <= 0x8A) || t == 0xA8 || t == 0xA9 || t == 0xAF ? 3 : 0;
      }
      return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;  // U+205F
    case 0xE3:                                      // U+3000
      return n >= 3 && p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;
    default:
      return 0;
  }
}

// Byte length of the White_Space character ending just before `end`, or 0. The text is
// valid UTF-8, so a lead byte two or three places back really starts the last character.
inline std::size_t space_length_before(const unsigned char* end, std::size_t n) {
  if (is_ascii_space(end[-1])) return 1;
  if (n >= 2 && end[-2] == 0xC2) return end[-1] == 0x85 || end[-1] == 0xA0 ? 2 : 0;
  if (n >= 3 && space_length_at(end - 3, 3) == 3) return 3;
  return 0;
}

inline bool plain_edge(unsigned char c) {
  return c > 0x20 && c < 0x80;
}

}  // namespace detail

// Strips leading and trailing White_Space from valid UTF-8. A byte-order mark is not
// White_Space and stays.
inline std::string_view trim(std::string_view text) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  // A JSON message starts with '{' and ends with '}': let those through without the switch.
  if (begin != end && detail::plain_edge(begin[0]) && detail::plain_edge(end[-1])) return text;
  while (begin != end) {
    const std::size_t n = detail::space_length_at(begin, static_cast<std::size_t>(end - begin));
    if (n == 0) break;
    begin += n;
  }
  while (begin != end) {
    const std::size_t n = detail::space_length_before(end, static_cast<std::size_t>(end - begin));
    if (n == 0) break;
    end -= n;
  }
  return {reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin)};
}

}  // namespace vantrel::utf8
