#include "messages/plain_parser.hpp"

#if defined(__SSE2__) && !defined(VANTREL_PORTABLE)
#include <emmintrin.h>
#elif defined(__ARM_NEON) && !defined(VANTREL_PORTABLE)
#include <arm_neon.h>
#endif

#include <bit>
#include <charconv>
#include <cstring>

#include "messages/parser.hpp"
#include "messages/tape.hpp"
#include "messages/tape_writing.hpp"

namespace vantrel::json {

namespace {

using namespace tape;
using digits::digits_value;
using digits::kPow10Int;
using digits::leading_digits;
using digits::load8;

// The helpers below take the cursor and the tape position by reference; inlined into the one
// loop, both stay in registers for the whole line. The text is a copy padded with zeros
// (kPadding): whole-word loads may read past a line's end, and every scan stops by it.

// Where the string that starts at `p` (past its quote) stops being plain: its closing quote,
// or a backslash or control character (a zero of the padding at the latest).
VANTREL_TAPE_INLINE const unsigned char* plain_run_end(const unsigned char* p) {
#if defined(__SSE2__) && !defined(VANTREL_PORTABLE)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  for (;; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i special =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                     _mm_cmpeq_epi8(_mm_min_epu8(v, control_max), v));
    if (const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special))) {
      return p + std::countr_zero(mask);
    }
  }
#elif defined(__ARM_NEON) && !defined(VANTREL_PORTABLE)
  // NEON has no byte mask: narrowing each 16-bit lane by 4 leaves four bits a byte in one word.
  const uint8x16_t quote = vdupq_n_u8('"');
  const uint8x16_t backslash = vdupq_n_u8('\\');
  const uint8x16_t control_end = vdupq_n_u8(0x20);
  for (;; p += 16) {
    const uint8x16_t v = vld1q_u8(p);
    const uint8x16_t special =
        vorrq_u8(vorrq_u8(vceqq_u8(v, quote), vceqq_u8(v, backslash)), vcltq_u8(v, control_end));
    const std::uint64_t mask =
        vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(special), 4)), 0);
    if (mask != 0) return p + std::countr_zero(mask) / 4;
  }
#else
  while (*p != '"' && *p != '\\' && *p >= 0x20) ++p;
  return p;
#endif
}

// The cursor is past the opening quote; it ends past the closing one.
VANTREL_TAPE_INLINE bool read_string(const unsigned char*& p, std::uint64_t*& w) {
  const unsigned char* close = plain_run_end(p);
  if (*close != '"') return false;
  write_string(w, p, static_cast<std::size_t>(close - p));
  p = close + 1;
  return true;
}

// Digits from the cursor on, added to `significand`; the count read, or -1 once the whole
// number would pass 19 digits (beyond which 64 bits may not hold it).
VANTREL_TAPE_INLINE int take_digits(const unsigned char*& p, std::uint64_t& significand,
                                    int& total) {
  int count = 0;
  for (;;) {
    const std::uint64_t v = load8(p);
    const int n = leading_digits(v);
    if (n == 0) return count;
    total += n;
    if (total > 19) return -1;
    significand = significand * kPow10Int[n] + digits_value(v, n);
    p += n;
    count += n;
    if (n < 8) return count;
  }
}

// The general reading: any digits left to read at most 19 in all.
VANTREL_TAPE_INLINE bool take_long_number(const unsigned char*& p, std::uint64_t& significand,
                                          int& whole, int& fraction) {
  int total = 0;
  significand = 0;
  whole = take_digits(p, significand, total);
  fraction = 0;
  if (whole <= 0) return false;
  if (*p == '.') {
    ++p;
    fraction = take_digits(p, significand, total);
    if (fraction <= 0) return false;
  }
  return true;
}

// The word read_number writes for a short number without sign.
VANTREL_TAPE_INLINE std::uint64_t short_number_word(std::uint64_t significand, int fraction) {
  if (fraction == 0) return make(kUInt48, significand);
  return std::bit_cast<std::uint64_t>(exact_decimal(significand, fraction));
}

// One element of a flat array of numbers: a short number without sign or exponent, followed
// by the array's end or a separator (which the cursor is left on).
VANTREL_TAPE_INLINE bool take_array_number(const unsigned char*& p, std::uint64_t& significand,
                                           int& fraction) {
  const bool leading_zero = *p == '0';
  int whole;
  if (!take_short_number(p, significand, whole, fraction) || (leading_zero && whole > 1)) {
    return false;
  }
  return *p == ']' || *p == ',';
}

// Past a separator: a stream writes it alone or with one space after it.
VANTREL_TAPE_INLINE void skip_separator(const unsigned char*& p) {
  p += 1 + (p[1] == ' ');
}

// A flat array of short numbers without sign or exponent (the cursor past its '['), written
// as the general way writes it: the head word and each number's word, or the pair word when
// two numbers fold. Pairs and level-keyed ladders ([level, price, size]) come by the
// thousand, and the general way spends a frame, a dispatch and the fold's bookkeeping on each
// of their numbers. Anything else leaves the cursor where it was (the words written past `w`
// are then written again).
VANTREL_TAPE_INLINE bool read_number_array(const unsigned char*& p, std::uint64_t*& w) {
  const unsigned char* q = p;
  std::uint64_t first;
  std::uint64_t second;
  int first_fraction;
  int second_fraction;
  if (!take_array_number(q, first, first_fraction)) return false;
  std::uint64_t* x = w + 2;
  if (*q == ',') {
    skip_separator(q);
    if (!take_array_number(q, second, second_fraction)) return false;
    if (*q == ']' && fold_pair(first, first_fraction, second, second_fraction, *w)) {
      p = q + 1;
      ++w;
      return true;
    }
    w[2] = short_number_word(second, second_fraction);
    ++x;
    while (*q == ',') {
      skip_separator(q);
      std::uint64_t significand;
      int fraction;
      if (!take_array_number(q, significand, fraction)) return false;
      *x++ = short_number_word(significand, fraction);
    }
  }
  w[0] = make(kArray, static_cast<std::uint64_t>(x - w - 1));
  w[1] = short_number_word(first, first_fraction);
  w = x;
  p = q + 1;
  return true;
}

// A number without an exponent and of at most 19 digits; anything else is left to the
// byte-by-byte parser.
VANTREL_TAPE_INLINE bool read_number(const unsigned char*& p, std::uint64_t*& w, PairFold& fold) {
  const unsigned char* const start = p;
  const bool negative = *p == '-';
  p += negative;
  const bool leading_zero = *p == '0';
  std::uint64_t significand;
  int whole;
  int fraction;
  if (!take_short_number(p, significand, whole, fraction) &&
      !take_long_number(p, significand, whole, fraction)) {
    return false;
  }
  if ((leading_zero && whole > 1) || (*p | 0x20) == 'e') return false;
  const std::uint64_t* at = w;
  if (fraction == 0) {
    if (negative && significand > (std::uint64_t{1} << 63)) return false;
    write_integer(w, negative, significand);
    if (PairFold::takes(negative, 0)) fold.note(at, significand, 0, true);
    return true;
  }
  double value;
  if (significand <= (std::uint64_t{1} << 53)) {
    // At most 19 decimals: well within the powers of ten that are exact.
    value = exact_decimal(significand, fraction);
    if (negative) value = -value;
  } else {
    // Too many digits for that; at most 19 of them cannot overflow.
    std::from_chars(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(p), value);
  }
  *w++ = std::bit_cast<std::uint64_t>(value);
  if (PairFold::takes(negative, fraction)) {
    fold.note(at, significand, static_cast<std::uint64_t>(fraction), false);
  }
  return true;
}

constexpr std::uint64_t text_word(const char (&text)[6]) {
  std::uint64_t word = 0;
  for (int i = 0; i < 5; ++i) word |= static_cast<std::uint64_t>(text[i]) << (8 * i);
  return word;
}

// true, false or null at the cursor; the loop checks what follows.
VANTREL_TAPE_INLINE bool read_literal(const unsigned char*& p, std::uint64_t*& w) {
  const std::uint64_t v = load8(p);
  constexpr std::uint64_t kFour = 0xFFFF'FFFFULL;
  constexpr std::uint64_t kFive = 0xFF'FFFF'FFFFULL;
  if ((v & kFour) == text_word("true\0")) {
    *w++ = make(kTrue, 0);
    p += 4;
  } else if ((v & kFour) == text_word("null\0")) {
    *w++ = make(kNull, 0);
    p += 4;
  } else if ((v & kFive) == text_word("false")) {
    *w++ = make(kFalse, 0);
    p += 5;
  } else {
    return false;
  }
  return true;
}

// Whether the key just written at `key` repeats one of the object's earlier keys.
VANTREL_TAPE_INLINE bool repeats(const std::uint64_t* const* first,
                                 const std::uint64_t* const* last, const std::uint64_t* key) {
  const std::uint64_t word = *key;
  for (; first != last; ++first) {
    if (**first != word) continue;
    if (same_key_bytes(key, *first)) return true;
  }
  return false;
}

}  // namespace

// An open container: its head word, and for an object where its keys start on the key stack.
struct PlainParser::Frame {
  std::uint64_t* head;
  const std::uint64_t** keys;
};

const unsigned char* PlainParser::padded_copy(std::string_view line) {
  const std::size_t room = line.size() + kPadding;
  if (room > text_capacity_) {
    text_.reset(new unsigned char[room]);
    text_capacity_ = room;
    // A key takes at least four bytes ("":0 and a separator), so this many always fit.
    keys_.resize(line.size() / 4 + 2);
  }
  std::memcpy(text_.get(), line.data(), line.size());
  std::memset(text_.get() + line.size(), 0, kPadding);
  return text_.get();
}

std::size_t PlainParser::parse(std::string_view line, std::uint64_t* out) {
  const unsigned char* p = padded_copy(line);
  const unsigned char* const end = p + line.size();
  std::uint64_t* w = out;
  Frame frames[kMaxDepth];
  int depth = 0;
  const std::uint64_t** keys = keys_.data();
  PairFold fold;
  bool in_object = false;  // what the innermost open container is

value:
  skip_ws(p);
  switch (*p) {
    case '"':
      ++p;
      if (!read_string(p, w)) return 0;
      goto after_value;
    case '-':
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
      if (!read_number(p, w, fold)) return 0;
      goto after_value;
    case 't':
    case 'f':
    case 'n':
      if (!read_literal(p, w)) return 0;
      goto after_value;
    case '{':
      if (depth == kMaxDepth) return 0;
      frames[depth++] = Frame{w, keys};
      in_object = true;
      *w++ = 0;
      ++p;
      skip_ws(p);
      if (*p == '}') {
        ++p;
        goto close_object;
      }
      goto key;
    case '[':
      if (depth == kMaxDepth) return 0;
      ++p;
      if (read_number_array(p, w)) goto after_value;
      frames[depth++] = Frame{w, nullptr};
      in_object = false;
      *w++ = 0;
      skip_ws(p);
      if (*p == ']') {
        ++p;
        goto close_array;
      }
      goto value;
    default:
      return 0;
  }

key:
  if (*p != '"') return 0;
  ++p;
  {
    const std::uint64_t* at = w;
    if (!read_string(p, w) || repeats(frames[depth - 1].keys, keys, at)) return 0;
    *keys++ = at;
  }
  skip_ws(p);
  if (*p != ':') return 0;
  ++p;
  goto value;

after_value:
  if (depth == 0) goto done;
  skip_ws(p);
  if (*p == ',') {
    ++p;
    skip_ws(p);
    if (in_object) goto key;
    goto value;
  }
  if (in_object) {
    if (*p != '}') return 0;
    ++p;
    goto close_object;
  }
  if (*p != ']') return 0;
  ++p;
  goto close_array;

close_object : {
  const Frame& frame = frames[--depth];
  close_object(frame.head, w);
  keys = frame.keys;
  in_object = depth > 0 && frames[depth - 1].keys != nullptr;
  goto after_value;
}

close_array : {
  const Frame& frame = frames[--depth];
  const auto body = static_cast<std::uint64_t>(w - frame.head - 1);
  if (body == 2 && fold.folds(frame.head)) {
    *frame.head = fold.word();
    w = frame.head + 1;
    fold.forget();
  } else {
    *frame.head = make(kArray, body);
  }
  in_object = depth > 0 && frames[depth - 1].keys != nullptr;
  goto after_value;
}

done:
  skip_ws(p);
  if (p != end) return 0;
  return static_cast<std::size_t>(w - out);
}

void PlainParser::release_memory() {
  text_.reset();
  text_capacity_ = 0;
  keys_ = {};
}

}  // namespace vantrel::json
