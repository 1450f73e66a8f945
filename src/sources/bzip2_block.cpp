#include "sources/bzip2_block.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace vantrel::sources::bzip2 {
namespace {

constexpr std::uint32_t kPolynomial = 0x04C11DB7;
constexpr int kGroupSize = 50;  // symbols coded with one table before the next selector
constexpr int kMaxCodeLength = 20;
constexpr std::uint32_t kMaxSelectors = 18001;  // what a block of 900000 bytes can need
constexpr int kRunSymbols = 2;                  // RUNA and RUNB
// The longest header and tables an encoder writes: the fields, 18001 selectors of at most six
// bits, and every code length of six tables stepping at most 19 from the last. Longer ones
// are libbz2's to judge.
constexpr std::uint64_t kMaxHeaderBits =
    32 + 1 + 24 + 16 + 256 + 3 + 15 + 18001 * 6 + 6 * (5 + 258 * (1 + 2 * 19));

// Tables for eight bytes at a time: [k][x] is the register after byte x and k zero bytes.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_crc_tables() {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
  for (std::uint32_t x = 0; x < 256; ++x) {
    std::uint32_t c = x << 24;
    for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) ? (c << 1) ^ kPolynomial : c << 1;
    t[0][x] = c;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t x = 0; x < 256; ++x) t[k][x] = (t[k - 1][x] << 8) ^ t[0][t[k - 1][x] >> 24];
  }
  return t;
}
constexpr auto kCrc = make_crc_tables();

inline std::uint32_t crc_byte(std::uint32_t crc, Byte b) {
  return (crc << 8) ^ kCrc[0][(crc >> 24) ^ b];
}

inline std::uint64_t load_le64(const Byte* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The first place at or after `from` where four equal bytes begin, or `size`. Eight bytes at a
// time: a byte of `w ^ (w >> 8)` is zero where two neighbours are equal, and three zero bytes
// in a row mark four equal ones.
std::uint32_t find_four(const Byte* text, std::uint32_t from, std::uint32_t size) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  std::uint32_t p = from;
  for (; p + 8 <= size; p += 5) {
    const std::uint64_t w = load_le64(text + p);
    const std::uint64_t x = w ^ (w >> 8);
    const std::uint64_t zero = ~(((x & kLow7) + kLow7) | x | kLow7);
    const std::uint64_t four = zero & (zero >> 8) & (zero >> 16) & 0x8080808080ULL;
    if (four != 0) return p + static_cast<std::uint32_t>(std::countr_zero(four) / 8);
  }
  for (; p + 3 < size; ++p) {
    if (text[p] == text[p + 1] && text[p] == text[p + 2] && text[p] == text[p + 3]) return p;
  }
  return size;
}

}  // namespace

// Header fields read with their bounds checked: `short_read` once the bits ran out.
struct FieldReader {
  const Bits& bits;
  std::uint64_t pos;
  std::uint64_t end;
  bool short_read = false;

  std::uint32_t get(int n) {
    if (end - pos < static_cast<std::uint64_t>(n)) {
      short_read = true;
      pos = end;
      return 0;
    }
    const auto v = static_cast<std::uint32_t>(bits.peek(pos) >> (64 - n));
    pos += static_cast<unsigned>(n);
    return v;
  }
};

std::uint32_t crc_update(std::uint32_t crc, const Byte* data, std::size_t size) {
  for (; size >= 8; size -= 8, data += 8) {
    const std::uint32_t a = crc ^ (static_cast<std::uint32_t>(data[0]) << 24 |
                                   static_cast<std::uint32_t>(data[1]) << 16 |
                                   static_cast<std::uint32_t>(data[2]) << 8 | data[3]);
    crc = kCrc[7][a >> 24] ^ kCrc[6][(a >> 16) & 0xFF] ^ kCrc[5][(a >> 8) & 0xFF] ^
          kCrc[4][a & 0xFF] ^ kCrc[3][data[4]] ^ kCrc[2][data[5]] ^ kCrc[1][data[6]] ^
          kCrc[0][data[7]];
  }
  for (; size > 0; --size) crc = crc_byte(crc, *data++);
  return crc;
}

void BlockDecoder::start(int level) {
  max_size_ = static_cast<std::uint32_t>(level) * 100000;
  if (capacity_ < max_size_) {
    // The text is read eight bytes at a time, up to its end.
    bytes_ = std::make_unique_for_overwrite<Byte[]>(max_size_ + kBitsPadding);
    forward_ = std::make_unique_for_overwrite<std::uint32_t[]>(max_size_);
    capacity_ = max_size_;
  }
  if (!tables_) tables_ = std::make_unique<Table[]>(6);
}

BlockDecoder::Status BlockDecoder::read_header(const Bits& bits, std::uint64_t& pos, bool ended) {
  FieldReader r{bits, pos, std::min(bits.end_bits, pos + kMaxHeaderBits)};
  const bool malformed = !read_fields(r);
  if (r.short_read) {
    return ended || bits.end_bits - pos >= kMaxHeaderBits ? Status::kReject : Status::kMore;
  }
  if (malformed) return Status::kReject;
  pos = r.pos;
  group_ = 0;
  group_left_ = 0;
  run_ = 0;
  run_shift_ = 0;
  size_ = 0;
  std::memset(counts_, 0, sizeof counts_);
  std::memcpy(mtf_, seq_to_byte_, static_cast<std::size_t>(used_));
  return Status::kDone;
}

// The block's fields, its selectors (move-to-front coded in unary) and each table's code
// lengths (each a step of +1 or -1 from the last). False when malformed or cut short.
bool BlockDecoder::read_fields(FieldReader& r) {
  stored_crc_ = r.get(32);
  const bool randomised = r.get(1) != 0;
  orig_ptr_ = r.get(24);
  const std::uint32_t ranges = r.get(16);
  used_ = 0;
  for (int i = 0; i < 16; ++i) {
    if ((ranges & (0x8000u >> i)) == 0) continue;
    const std::uint32_t bytes = r.get(16);
    for (int j = 0; j < 16; ++j) {
      if (bytes & (0x8000u >> j)) seq_to_byte_[used_++] = static_cast<Byte>(i * 16 + j);
    }
  }
  groups_ = static_cast<int>(r.get(3));
  selectors_count_ = r.get(15);
  // Randomised blocks come only from bzip2 0.9.0 and are left to libbz2.
  if (r.short_read || randomised || used_ == 0 || groups_ < 2 || groups_ > 6 ||
      selectors_count_ == 0 || selectors_count_ > kMaxSelectors) {
    return false;
  }
  alpha_size_ = used_ + kRunSymbols;
  selectors_.resize(selectors_count_);
  std::uint8_t order[6] = {0, 1, 2, 3, 4, 5};
  for (std::uint32_t s = 0; s < selectors_count_; ++s) {
    int j = 0;
    while (r.get(1) != 0) {
      if (++j >= groups_) return false;
    }
    const std::uint8_t table = order[j];
    for (; j > 0; --j) order[j] = order[j - 1];
    order[0] = table;
    selectors_[s] = table;
  }
  std::uint8_t lengths[258];
  for (int t = 0; t < groups_; ++t) {
    int length = static_cast<int>(r.get(5));
    for (int s = 0; s < alpha_size_; ++s) {
      for (;;) {
        if (r.short_read || length < 1 || length > kMaxCodeLength) return false;
        if (r.get(1) == 0) break;
        length += r.get(1) == 0 ? 1 : -1;
      }
      lengths[s] = static_cast<std::uint8_t>(length);
    }
    build_table(tables_[static_cast<std::size_t>(t)], lengths);
  }
  return !r.short_read;
}

// Canonical codes: within a length, codes count up in symbol order; each length's first code
// follows on from the last code of the length before, one bit longer.
void BlockDecoder::build_table(Table& table, const std::uint8_t* lengths) {
  std::uint32_t count[kMaxCodeLength + 1] = {};
  for (int s = 0; s < alpha_size_; ++s) ++count[lengths[s]];
  std::uint64_t kraft = 0;
  for (int len = 1; len <= kMaxCodeLength; ++len)
    kraft += std::uint64_t{count[len]} << (kMaxCodeLength - len);
  // Over-full or incomplete codes never come from an encoder; libbz2 decodes them its own way.
  table.complete = kraft == (std::uint64_t{1} << kMaxCodeLength);
  if (!table.complete) return;
  std::uint32_t code = 0;
  std::uint16_t index = 0;
  table.max_length = 0;
  for (int len = 1; len <= kMaxCodeLength; ++len) {
    table.first[len] = code;
    table.offset[len] = index;
    index = static_cast<std::uint16_t>(index + count[len]);
    code += count[len];
    table.limit[len] = code << (kMaxCodeLength - len);
    code <<= 1;
    if (count[len] != 0) table.max_length = static_cast<std::uint8_t>(len);
  }
  std::uint16_t next[kMaxCodeLength + 1];
  std::memcpy(next, table.offset, sizeof next);
  for (int s = 0; s < alpha_size_; ++s)
    table.sorted[next[lengths[s]]++] = static_cast<std::uint16_t>(s);
  std::memset(table.fast, 0, sizeof table.fast);
  for (int len = 1; len <= kFastBits; ++len) {
    for (std::uint32_t k = 0; k < count[len]; ++k) {
      const std::uint32_t c = table.first[len] + k;
      const auto entry = static_cast<std::uint16_t>(table.sorted[table.offset[len] + k] << 5 | len);
      const std::uint32_t from = c << (kFastBits - len);
      const std::uint32_t to = (c + 1) << (kFastBits - len);
      for (std::uint32_t i = from; i < to; ++i) table.fast[i] = entry;
    }
  }
}

unsigned BlockDecoder::decode_long(const Table& table, std::uint64_t window) const {
  const auto v = static_cast<std::uint32_t>(window >> (64 - kMaxCodeLength));
  int len = kFastBits + 1;
  while (len < table.max_length && v >= table.limit[len]) ++len;
  const std::uint32_t code = v >> (kMaxCodeLength - len);
  return static_cast<unsigned>(table.sorted[table.offset[len] + code - table.first[len]]) << 5 |
         static_cast<unsigned>(len);
}

BlockDecoder::Status BlockDecoder::read_symbols(const Bits& bits, std::uint64_t& pos, bool ended) {
  // The longest group: fifty codes of twenty bits.
  constexpr std::uint64_t kGroupBits = kGroupSize * kMaxCodeLength;
  for (;;) {
    if (group_left_ == 0) {
      if (group_ >= selectors_count_) return Status::kReject;
      const Table& table = tables_[selectors_[group_++]];
      if (!table.complete) return Status::kReject;
      table_ = &table;
      group_left_ = kGroupSize;
    }
    Status status;
    if (bits.available(pos) >= kGroupBits) {
      status = decode_group<false>(bits, pos);
    } else if (ended) {
      status = decode_group<true>(bits, pos);
    } else {
      return Status::kMore;
    }
    if (status != Status::kMore) return status;
  }
}

// One group's symbols (or what is left of it): kMore when it is done, kDone at the end of the
// block. The block's bytes are written with their counts; a run of the front byte is written
// when the symbol after its RUNA/RUNB digits comes.
template <bool kChecked>
BlockDecoder::Status BlockDecoder::decode_group(const Bits& bits, std::uint64_t& pos) {
  // Locals, not members: every byte written could alias a member otherwise.
  const Table& table = *table_;
  Byte* const mtf = mtf_;
  Byte* const out = bytes_.get();
  std::uint64_t p = pos;
  std::uint32_t size = size_;
  std::uint32_t run = run_;
  int shift = run_shift_;
  int left = group_left_;
  const auto end_of_block = static_cast<unsigned>(alpha_size_ - 1);
  Status status = Status::kMore;
  while (left > 0) {
    const std::uint64_t window = bits.peek(p);
    unsigned entry = table.fast[window >> (64 - kFastBits)];
    if (entry == 0) entry = decode_long(table, window);
    const unsigned len = entry & 31;
    if (kChecked && bits.available(p) < len) {
      status = Status::kReject;
      break;
    }
    p += len;
    --left;
    const unsigned sym = entry >> 5;
    if (sym < kRunSymbols) {
      // A run length in bijective base two, least significant digit first; libbz2 refuses a
      // twenty-second digit.
      if (shift > 20) {
        status = Status::kReject;
        break;
      }
      run += (sym + 1) << shift;
      ++shift;
      continue;
    }
    if (shift != 0) {
      if (run > max_size_ - size) {
        status = Status::kReject;
        break;
      }
      const Byte b = mtf[0];
      std::memset(out + size, b, run);
      counts_[b] += run;
      size += run;
      run = 0;
      shift = 0;
    }
    if (sym == end_of_block) {
      status = Status::kDone;
      break;
    }
    if (size >= max_size_) {
      status = Status::kReject;
      break;
    }
    const unsigned index = sym - 1;
    const Byte b = mtf[index];
    if (index <= 16) {
      for (unsigned k = index; k > 0; --k) mtf[k] = mtf[k - 1];
    } else {
      std::memmove(mtf + 1, mtf, index);
    }
    mtf[0] = b;
    out[size++] = b;
    ++counts_[b];
  }
  pos = p;
  size_ = size;
  run_ = run;
  run_shift_ = shift;
  group_left_ = left;
  return status;
}

bool BlockDecoder::unscramble() {
  const std::uint32_t n = size_;
  if (orig_ptr_ >= n) return false;
  Byte* const bytes = bytes_.get();
  std::uint32_t* const forward = forward_.get();
  std::uint32_t next[256];
  std::uint32_t sum = 0;
  for (int c = 0; c < 256; ++c) {
    next[c] = sum;
    sum += counts_[c];
  }
  // Row j of the sorted rotations ends with bytes[j]; the rotation one to the left of row i
  // is row forward[i] >> 8.
  for (std::uint32_t i = 0; i < n; ++i) forward[next[bytes[i]]++] = i << 8;
  for (std::uint32_t i = 0; i < n; ++i) forward[i] |= bytes[i];

  if (!walk()) return false;
  return check_runs();
}

// The text, walked from the original row one row to the next (row i's byte comes after row
// j's when i == forward[j] >> 8): each step a load that misses the cache, and a single walk
// waits for every one in turn. So the rows are cut into segments at every kSpacing-th row (and
// the original row), and kLanes segments are walked at once, their loads in flight together,
// each into an area of its own; the areas, put in order, are the text. A segment that fills
// its area ends there, and one more begins where it stopped.
bool BlockDecoder::walk() {
  constexpr std::uint32_t kSpacing = 4096;
  constexpr std::uint32_t kArea = 4096;
  constexpr std::uint32_t kMark = 1u << 31;
  constexpr std::uint32_t kRow = (1u << 20) - 1;
  constexpr int kLanes = 12;
  const std::uint32_t n = size_;
  std::uint32_t* const forward = forward_.get();

  rulers_.clear();
  for (std::uint32_t r = 0; r < n; r += kSpacing) rulers_.push_back(r);
  if (orig_ptr_ % kSpacing != 0) {
    rulers_.insert(std::upper_bound(rulers_.begin(), rulers_.end(), orig_ptr_), orig_ptr_);
  }
  segments_.clear();
  for (const std::uint32_t r : rulers_) {
    forward[r] |= kMark;
    segments_.push_back({r, 0, 0});
  }
  // Every segment's area is whole: one per ruler, and one per area filled.
  const std::size_t areas = rulers_.size() + n / kArea + 1;
  if (areas_.size() < areas * kArea) areas_.resize(areas * kArea);
  Byte* const area = areas_.data();

  struct Lane {
    std::uint32_t row;
    std::uint32_t segment;
    Byte* out;
    Byte* end;
  };
  std::size_t next = 0;
  auto begin = [&](Lane& lane) {
    if (next == segments_.size()) {
      lane.out = nullptr;
      return false;
    }
    lane.segment = static_cast<std::uint32_t>(next++);
    lane.out = area + std::size_t{lane.segment} * kArea;
    lane.end = lane.out + kArea;
    lane.row = (forward[segments_[lane.segment].start] >> 8) & kRow;
    return true;
  };
  Lane lanes[kLanes];
  int live = 0;
  for (Lane& lane : lanes) live += begin(lane);
  while (live > 0) {
    for (Lane& lane : lanes) {
      if (lane.out == nullptr) continue;
      const std::uint32_t e = forward[lane.row];
      *lane.out++ = static_cast<Byte>(e);
      if ((e & kMark) == 0 && lane.out != lane.end) {
        lane.row = (e >> 8) & kRow;
        continue;
      }
      Segment& done = segments_[lane.segment];
      done.size = static_cast<std::uint32_t>(lane.out - (area + std::size_t{lane.segment} * kArea));
      if (e & kMark) {
        done.next = static_cast<std::uint32_t>(
            std::lower_bound(rulers_.begin(), rulers_.end(), lane.row) - rulers_.begin());
      } else {
        done.next = static_cast<std::uint32_t>(segments_.size());
        segments_.push_back({lane.row, 0, 0});
      }
      if (!begin(lane)) --live;
    }
  }
  for (const std::uint32_t r : rulers_) forward[r] &= ~kMark;

  // From the original row's segment on, until the walk is back at that row: after exactly n
  // bytes, or libbz2's walk, which goes on round a shorter cycle, cannot be followed.
  const auto first = static_cast<std::uint32_t>(
      std::lower_bound(rulers_.begin(), rulers_.end(), orig_ptr_) - rulers_.begin());
  Byte* const text = bytes_.get();
  std::uint32_t at = 0;
  std::uint32_t s = first;
  for (std::size_t count = 0; count < segments_.size(); ++count) {
    const Segment& segment = segments_[s];
    if (segment.size > n - at) return false;
    std::memcpy(text + at, area + std::size_t{s} * kArea, segment.size);
    at += segment.size;
    s = segment.next;
    if (s == first) return at == n;
  }
  return false;
}

// The final run-length step: four equal bytes are followed by a count of more of them. The
// block's CRC is of the text after this step, and is checked before any of it goes out.
bool BlockDecoder::check_runs() {
  const Byte* const text = bytes_.get();
  const std::uint32_t n = size_;
  runs_.clear();
  std::uint32_t crc = ~0u;
  std::uint32_t at = 0;
  for (;;) {
    const std::uint32_t p = find_four(text, at, n);
    if (p == n) {
      crc = crc_update(crc, text + at, n - at);
      break;
    }
    // Encoders always write the count; a block that ends without it is left to libbz2.
    if (p + 4 >= n) return false;
    crc = crc_update(crc, text + at, p + 4 - at);
    for (int k = text[p + 4]; k > 0; --k) crc = crc_byte(crc, text[p]);
    runs_.push_back(p + 4);
    at = p + 5;
  }
  if (~crc != stored_crc_) return false;
  text_size_ = n;
  at_ = 0;
  runs_at_ = 0;
  pending_ = 0;
  return true;
}

std::size_t BlockDecoder::emit(Byte* out, std::size_t size) {
  const Byte* const text = bytes_.get();
  std::size_t produced = 0;
  while (produced < size) {
    if (pending_ != 0) {
      const std::size_t k = std::min<std::size_t>(pending_, size - produced);
      std::memset(out + produced, pending_byte_, k);
      produced += k;
      pending_ -= static_cast<std::uint32_t>(k);
      continue;
    }
    const std::uint32_t stop = runs_at_ < runs_.size() ? runs_[runs_at_] : text_size_;
    if (at_ < stop) {
      const std::size_t k = std::min<std::size_t>(stop - at_, size - produced);
      std::memcpy(out + produced, text + at_, k);
      produced += k;
      at_ += static_cast<std::uint32_t>(k);
      continue;
    }
    if (runs_at_ == runs_.size()) break;
    pending_byte_ = text[at_ - 1];
    pending_ = text[at_];
    ++at_;
    ++runs_at_;
  }
  return produced;
}

}  // namespace vantrel::sources::bzip2
