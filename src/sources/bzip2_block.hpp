// One bzip2 block, decoded from the format itself: its header and Huffman tables, the symbols
// (Huffman codes, move-to-front and the RUNA/RUNB run lengths in one loop), the inverse
// Burrows-Wheeler transform and the final run-length step, with the block's CRC checked
// before any of its text is handed out.
//
// The decoder takes only what it can decode exactly as libbz2 does and says kReject for
// anything else, damaged or merely unusual (incomplete Huffman codes, randomised blocks, a
// block that ends inside a run): the caller then leaves that block, and every verdict on it,
// to libbz2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "sources/codec.hpp"

namespace vantrel::sources::bzip2 {

inline constexpr std::uint64_t kBlockMagic = 0x314159265359;
inline constexpr std::uint64_t kEndMagic = 0x177245385090;
// Bytes a bit reader may look at past the last byte of data (see Bits).
inline constexpr std::size_t kBitsPadding = 8;

// bzip2's CRC-32: the polynomial of gzip's, fed most significant bit first. `crc` is the
// running register (start from ~0 and invert the end).
std::uint32_t crc_update(std::uint32_t crc, const Byte* data, std::size_t size);
// The combined CRC of a stream, after one more block.
inline std::uint32_t combine_crc(std::uint32_t combined, std::uint32_t block) {
  return ((combined << 1) | (combined >> 31)) ^ block;
}

// A window of input read as a string of bits, most significant first. `data` stays readable
// kBitsPadding bytes past `end_bits`, so that a read of up to 57 bits never checks its bounds.
struct Bits {
  const Byte* data = nullptr;
  std::uint64_t end_bits = 0;

  // The 57 or more bits from `pos` on, left-aligned.
  std::uint64_t peek(std::uint64_t pos) const {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | data[(pos >> 3) + static_cast<unsigned>(i)];
    return v << (pos & 7);
  }
  std::uint64_t available(std::uint64_t pos) const { return end_bits - pos; }
};

struct FieldReader;

class BlockDecoder {
 public:
  enum class Status { kMore, kDone, kReject };

  // Ready for a block of a stream of `level` (1-9: at most level * 100000 bytes before the
  // final run-length step), whose header begins, past its magic, at bit `pos`.
  void start(int level);
  // Each advances `pos` past what it decoded. kMore: call again with more bits after them,
  // unless `ended` (then never kMore).
  Status read_header(const Bits& bits, std::uint64_t& pos, bool ended);
  Status read_symbols(const Bits& bits, std::uint64_t& pos, bool ended);
  // The text before its final run-length step, and the check of the block's CRC over the
  // text after it. False: reject.
  bool unscramble();
  // Hands out the next of the block's text; all of it given when done().
  std::size_t emit(Byte* out, std::size_t size);
  bool done() const { return runs_at_ == runs_.size() && pending_ == 0 && at_ == text_size_; }
  std::uint32_t crc() const { return stored_crc_; }

 private:
  struct Table {
    // Codes up to kFastBits long, by their next kFastBits bits: symbol << 5 | length; 0 for
    // the first bits of a longer code.
    std::uint16_t fast[1 << 10];
    // Longer codes, canonical: the first code of each length, left-aligned to 20 bits, the
    // count of each length and where its symbols start in `sorted`.
    std::uint32_t limit[21];
    std::uint32_t first[21];
    std::uint16_t offset[21];
    std::uint16_t sorted[258];
    std::uint8_t max_length;
    bool complete;
  };
  static constexpr int kFastBits = 10;

  bool read_fields(FieldReader& r);
  void build_table(Table& table, const std::uint8_t* lengths);
  template <bool kChecked>
  Status decode_group(const Bits& bits, std::uint64_t& pos);
  unsigned decode_long(const Table& table, std::uint64_t window) const;
  bool walk();
  bool check_runs();

  std::uint32_t max_size_ = 0;
  std::uint32_t stored_crc_ = 0;
  std::uint32_t orig_ptr_ = 0;
  int alpha_size_ = 0;
  int groups_ = 0;
  std::uint32_t selectors_count_ = 0;
  std::vector<std::uint8_t> selectors_;
  std::unique_ptr<Table[]> tables_;
  Byte seq_to_byte_[256] = {};
  int used_ = 0;

  // Symbol decoding, kept between calls.
  std::uint32_t group_ = 0;  // the next group's selector
  int group_left_ = 0;
  const Table* table_ = nullptr;
  std::uint32_t run_ = 0;
  int run_shift_ = 0;
  Byte mtf_[256] = {};
  std::uint32_t counts_[256] = {};
  std::uint32_t size_ = 0;  // bytes of the block before the inverse transform

  // Storage for the largest block of the largest level seen: the bytes in their transformed
  // order, then in text order; and the transform's vector.
  std::unique_ptr<Byte[]> bytes_;
  std::unique_ptr<std::uint32_t[]> forward_;
  // The walk's segments: the rows they start after, their sizes and the segments after them.
  struct Segment {
    std::uint32_t start;
    std::uint32_t size;
    std::uint32_t next;
  };
  std::vector<std::uint32_t> rulers_;
  std::vector<Segment> segments_;
  std::vector<Byte> areas_;
  std::uint32_t capacity_ = 0;

  // The text: each run of four equal bytes and the count of more of them that follows.
  std::vector<std::uint32_t> runs_;  // where each count is in bytes_
  std::uint32_t text_size_ = 0;
  std::uint32_t at_ = 0;
  std::size_t runs_at_ = 0;
  std::uint32_t pending_ = 0;
  Byte pending_byte_ = 0;
};

}  // namespace vantrel::sources::bzip2
