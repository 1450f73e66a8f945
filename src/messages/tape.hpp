// The JSON value model: a flat tape of 64-bit words, one per scalar.
//
// Every message of a file stays decoded in memory while its iterator lives, so the model is
// built for size. A word is either a finite double (its own bit pattern) or a tagged word that
// lives in the NaN space, which the parser can never produce as a double because it rejects
// overflow and has no NaN literal:
//
//   bits 63..48  0xFFF0 | tag      tag 1..15, never 0 (that would be -inf)
//   bits 47..0   payload
//
// Containers carry the number of body words that follow them, so a reader skips a whole
// subtree in one step. Strings of up to six bytes live inside their word; longer ones follow
// their word, eight bytes per word. The dominant shape of a stream, a [price, size] pair of
// short decimals, is folded into a single word (kPair) that still reads as a two-element array.
//
// Numbers keep the form of their literal: unsigned 64-bit for non-negative integers, signed
// 64-bit for negative ones, double for fractions, exponents and integers beyond 64 bits.
// Objects hold each key once: a repeated key keeps the later value (resolved by the parser).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace vantrel::json {

static_assert(std::endian::native == std::endian::little, "short strings are read in place");

enum class Kind : std::uint8_t { kNull, kBool, kUInt, kInt, kDouble, kString, kArray, kObject };

namespace tape {

enum Tag : std::uint64_t {
  kNull = 1,
  kFalse = 2,
  kTrue = 3,
  kUInt48 = 4,        // payload is the value
  kNegInt48 = 5,      // payload is the magnitude of a negative (or -0) integer literal
  kBigUInt = 6,       // the next word is the unsigned value
  kBigInt = 7,        // the next word is the signed value
  kString = 8,        // payload is the byte length; the bytes follow, padded to whole words
  kArray = 9,         // payload is the number of body words
  kObject = 10,       // payload is the number of body words (key, value, key, value, ...)
  kPair = 11,         // a two-number array folded into the payload (see pair encoding below)
  kShortString = 12,  // up to five bytes in payload bits 0..39, length in bits 40..42
  kString6 = 13,      // exactly six bytes in the payload
};

inline constexpr std::uint64_t kTagBase = 0xFFF0'0000'0000'0000ULL;
inline constexpr std::uint64_t kPayloadMask = 0x0000'FFFF'FFFF'FFFFULL;

constexpr bool is_tagged(std::uint64_t w) {
  return (w >> 52) == 0xFFF && w != kTagBase;
}
constexpr std::uint64_t tag_of(std::uint64_t w) {
  return (w >> 48) & 0xF;
}
constexpr std::uint64_t payload_of(std::uint64_t w) {
  return w & kPayloadMask;
}
constexpr std::uint64_t make(std::uint64_t tag, std::uint64_t payload) {
  return kTagBase | (tag << 48) | payload;
}

// Pair encoding: price in bits 0..20, size in bits 21..47. Each half is
//   [is_integer:1][fraction_digits:2][mantissa:rest]
// and stands for the integer mantissa, or for mantissa / 10^fraction_digits, which is the
// correctly rounded double of the literal because both operands are exact.
inline constexpr int kPriceBits = 21;
inline constexpr int kSizeBits = 27;
constexpr std::uint64_t pair_half_max_mantissa(int bits) {
  return (1ULL << (bits - 3)) - 1;
}
constexpr std::uint64_t pair_half(int bits, std::uint64_t mantissa, std::uint64_t fraction_digits,
                                  bool is_integer) {
  return mantissa | (fraction_digits << (bits - 3)) |
         (static_cast<std::uint64_t>(is_integer) << (bits - 1));
}
// The word of a folded pair, from its halves.
constexpr std::uint64_t pair_word(std::uint64_t price_half, std::uint64_t size_half) {
  return make(kPair, price_half | (size_half << kPriceBits));
}

// The word of a string of up to six bytes, the first of them the lowest of `payload`.
constexpr std::uint64_t short_string_word(std::uint64_t payload, std::size_t len) {
  if (len == 6) return make(kString6, payload);
  return make(kShortString, payload | (static_cast<std::uint64_t>(len) << 40));
}

// The word a short string key compiles to, so readers can match keys with one comparison.
constexpr std::uint64_t short_string_word(std::string_view s) {
  std::uint64_t payload = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    payload |= static_cast<std::uint64_t>(static_cast<unsigned char>(s[i])) << (8 * i);
  }
  return short_string_word(payload, s.size());
}

// Words spanned by the value starting at `p`.
inline std::size_t value_words(const std::uint64_t* p) {
  const std::uint64_t w = *p;
  if (!is_tagged(w)) return 1;
  switch (tag_of(w)) {
    case kBigUInt:
    case kBigInt:
      return 2;
    case kString:
      return 1 + (payload_of(w) + 7) / 8;
    case kArray:
    case kObject:
      return 1 + payload_of(w);
    default:
      return 1;
  }
}

}  // namespace tape

// A key readers look up: its text, and its tape word when it is short enough to have one.
struct Key {
  std::string_view text;
  std::uint64_t word;
  constexpr explicit Key(std::string_view t)
      : text(t), word(t.size() <= 6 ? tape::short_string_word(t) : 0) {}
};

class ArrayItems;
class ObjectMembers;

// A read-only view of one value on the tape. Cheap to copy. `p` points at the value's head
// word; the two elements of a folded pair have no word of their own and carry `w` only.
class Value {
 public:
  Value() = default;
  explicit Value(const std::uint64_t* p) : w_(*p), p_(p) {}
  static Value synthetic(std::uint64_t w) {
    Value v;
    v.w_ = w;
    return v;
  }

  // A default Value stands for "absent" (a missing key): tag 0 is never on the tape.
  bool present() const { return w_ != tape::kTagBase; }

  Kind kind() const;
  bool is_object() const { return tagged(tape::kObject); }
  bool is_array() const { return tagged(tape::kArray) || tagged(tape::kPair); }
  bool is_string() const {
    return tagged(tape::kString) || tagged(tape::kShortString) || tagged(tape::kString6);
  }
  bool is_bool() const { return tagged(tape::kTrue) || tagged(tape::kFalse); }
  bool is_true() const { return tagged(tape::kTrue); }
  bool is_number() const;

  // The number as a double: any number form; nullopt for anything else.
  std::optional<double> as_double() const;
  // The number as an integer: the two integer forms within the signed 64-bit range.
  std::optional<std::int64_t> as_int() const;
  std::string_view as_string() const;  // precondition: is_string()

  ArrayItems items() const;          // precondition: is_array()
  ObjectMembers members() const;     // precondition: is_object()
  Value find(const Key& key) const;  // precondition: is_object(); absent Value when missing

  // Strings of six bytes or less are always short strings, so one word comparison decides.
  bool key_equals(const Key& key) const {
    if (key.word != 0) return w_ == key.word;
    return tagged(tape::kString) && as_string() == key.text;
  }

  std::uint64_t head_word() const { return w_; }
  const std::uint64_t* head() const { return p_; }

 private:
  bool tagged(std::uint64_t tag) const { return tape::is_tagged(w_) && tape::tag_of(w_) == tag; }

  std::uint64_t w_ = tape::kTagBase;
  const std::uint64_t* p_ = nullptr;
};

// Reads one half of a folded pair as the tape word its literal would have had.
inline std::uint64_t pair_half_word(std::uint64_t half, int bits);

class ArrayItems {
 public:
  class iterator {
   public:
    iterator(const std::uint64_t* p, std::uint64_t pair, int index)
        : p_(p), pair_(pair), index_(index) {}
    Value operator*() const;
    iterator& operator++();
    bool operator!=(const iterator& o) const { return p_ != o.p_ || index_ != o.index_; }

   private:
    const std::uint64_t* p_;  // next body word (tape arrays)
    std::uint64_t pair_;      // folded pair payload, when iterating one
    int index_;               // element index within a folded pair
  };

  explicit ArrayItems(Value array);
  iterator begin() const { return iterator(begin_, pair_, 0); }
  iterator end() const { return iterator(end_, pair_, is_pair_ ? 2 : 0); }

  // Fast path for ladders: the first two elements as doubles, without walking generic values.
  // Returns false when the array has fewer than two elements.
  bool first_two(Value& a, Value& b) const;

 private:
  const std::uint64_t* begin_ = nullptr;
  const std::uint64_t* end_ = nullptr;
  std::uint64_t pair_ = 0;
  bool is_pair_ = false;
};

struct Member {
  Value key;
  Value value;
};

class ObjectMembers {
 public:
  class iterator {
   public:
    explicit iterator(const std::uint64_t* p) : p_(p) {}
    Member operator*() const;
    iterator& operator++();
    bool operator!=(const iterator& o) const { return p_ != o.p_; }

   private:
    const std::uint64_t* p_;
  };

  explicit ObjectMembers(Value object);
  iterator begin() const { return iterator(begin_); }
  iterator end() const { return iterator(end_); }

 private:
  const std::uint64_t* begin_;
  const std::uint64_t* end_;
};

// ---------------------------------------------------------------------------------------------
// Reading. Inline: the market cache walks every change through these, a few words at a time.

inline constexpr double kPairScale[] = {1e0, 1e1, 1e2, 1e3};

inline std::uint64_t pair_half_word(std::uint64_t half, int bits) {
  using namespace tape;
  const std::uint64_t mantissa = half & pair_half_max_mantissa(bits);
  const std::uint64_t fraction_digits = (half >> (bits - 3)) & 3;
  const bool is_integer = (half >> (bits - 1)) & 1;
  if (is_integer) return make(kUInt48, mantissa);
  return std::bit_cast<std::uint64_t>(static_cast<double>(mantissa) / kPairScale[fraction_digits]);
}

inline Kind Value::kind() const {
  using namespace tape;
  if (!is_tagged(w_)) return Kind::kDouble;
  switch (tag_of(w_)) {
    case kNull:
      return Kind::kNull;
    case kFalse:
    case kTrue:
      return Kind::kBool;
    case kUInt48:
    case kBigUInt:
      return Kind::kUInt;
    case kNegInt48:
    case kBigInt:
      return Kind::kInt;
    case kString:
    case kShortString:
    case kString6:
      return Kind::kString;
    case kArray:
    case kPair:
      return Kind::kArray;
    default:
      return Kind::kObject;
  }
}

inline bool Value::is_number() const {
  using namespace tape;
  if (!is_tagged(w_)) return true;
  const auto t = tag_of(w_);
  return t == kUInt48 || t == kNegInt48 || t == kBigUInt || t == kBigInt;
}

inline std::optional<double> Value::as_double() const {
  using namespace tape;
  if (!is_tagged(w_)) return std::bit_cast<double>(w_);
  switch (tag_of(w_)) {
    case kUInt48:
      return static_cast<double>(payload_of(w_));
    case kNegInt48:  // -0 is the integer 0, not the double -0.0
      return static_cast<double>(-static_cast<std::int64_t>(payload_of(w_)));
    case kBigUInt:
      return static_cast<double>(p_[1]);
    case kBigInt:
      return static_cast<double>(static_cast<std::int64_t>(p_[1]));
    default:
      return std::nullopt;
  }
}

inline std::optional<std::int64_t> Value::as_int() const {
  using namespace tape;
  if (!is_tagged(w_)) return std::nullopt;
  switch (tag_of(w_)) {
    case kUInt48:
      return static_cast<std::int64_t>(payload_of(w_));
    case kNegInt48:
      return -static_cast<std::int64_t>(payload_of(w_));
    case kBigUInt:
      if (p_[1] > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
      return static_cast<std::int64_t>(p_[1]);
    case kBigInt:
      return static_cast<std::int64_t>(p_[1]);
    default:
      return std::nullopt;
  }
}

inline std::string_view Value::as_string() const {
  using namespace tape;
  const char* bytes = reinterpret_cast<const char*>(p_);
  switch (tag_of(w_)) {
    case kShortString:
      return {bytes, static_cast<std::size_t>((w_ >> 40) & 7)};
    case kString6:
      return {bytes, 6};
    default:
      return {reinterpret_cast<const char*>(p_ + 1), static_cast<std::size_t>(payload_of(w_))};
  }
}

inline ArrayItems Value::items() const {
  return ArrayItems(*this);
}
inline ObjectMembers Value::members() const {
  return ObjectMembers(*this);
}

inline Value Value::find(const Key& key) const {
  for (const Member m : members()) {
    if (m.key.key_equals(key)) return m.value;
  }
  return Value();
}

inline ArrayItems::ArrayItems(Value array) {
  using namespace tape;
  const std::uint64_t w = array.head_word();
  if (tag_of(w) == kPair) {
    is_pair_ = true;
    pair_ = payload_of(w);
    return;
  }
  begin_ = array.head() + 1;
  end_ = begin_ + payload_of(w);
}

inline bool ArrayItems::first_two(Value& a, Value& b) const {
  using namespace tape;
  if (is_pair_) {
    a = Value::synthetic(pair_half_word(pair_ & ((1ULL << kPriceBits) - 1), kPriceBits));
    b = Value::synthetic(pair_half_word(pair_ >> kPriceBits, kSizeBits));
    return true;
  }
  if (begin_ == end_) return false;
  a = Value(begin_);
  const std::uint64_t* second = begin_ + value_words(begin_);
  if (second == end_) return false;
  b = Value(second);
  return true;
}

inline Value ArrayItems::iterator::operator*() const {
  using namespace tape;
  if (p_ != nullptr) return Value(p_);
  return index_ == 0
             ? Value::synthetic(pair_half_word(pair_ & ((1ULL << kPriceBits) - 1), kPriceBits))
             : Value::synthetic(pair_half_word(pair_ >> kPriceBits, kSizeBits));
}

inline ArrayItems::iterator& ArrayItems::iterator::operator++() {
  using namespace tape;
  if (p_ != nullptr) {
    p_ += value_words(p_);
  } else {
    ++index_;
  }
  return *this;
}

inline ObjectMembers::ObjectMembers(Value object)
    : begin_(object.head() + 1), end_(object.head() + 1 + tape::payload_of(object.head_word())) {}

inline Member ObjectMembers::iterator::operator*() const {
  using namespace tape;
  return Member{Value(p_), Value(p_ + value_words(p_))};
}

inline ObjectMembers::iterator& ObjectMembers::iterator::operator++() {
  using namespace tape;
  const std::uint64_t* value = p_ + value_words(p_);
  p_ = value + value_words(value);
  return *this;
}

}  // namespace vantrel::json
