// The bzip2 codec over our own block decoder. Input is kept from the first bit of the block
// being decoded, so that the block can be handed to libbz2 whole if the decoder turns it down;
// a block's text goes out only once its CRC has been checked. Streams that follow one another
// (parallel compressors write one per block group) are decoded in turn; whatever else comes
// after a stream is libbz2's codec's to judge.
#include "sources/bzip2_decoder.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "sources/bzip2_block.hpp"

namespace vantrel::sources {
namespace bzip2 {
namespace {

constexpr std::uint32_t kPolynomial = 0x04C11DB7;
std::atomic<std::uint64_t> g_handed_to_libbz2{0};

struct BitWriter {
  std::vector<Byte> bytes;
  std::uint64_t bits = 0;

  void put(std::uint64_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
      if (bits % 8 == 0) bytes.push_back(0);
      if ((value >> i) & 1) bytes.back() = static_cast<Byte>(bytes.back() | (0x80u >> (bits % 8)));
      ++bits;
    }
  }
};

// Four bytes whose CRC is `crc`: the register run back from its end over 32 zero bits gives
// what the bytes must turn the starting register into.
void text_with_crc(std::uint32_t crc, Byte text[4]) {
  std::uint32_t reg = ~crc;
  for (int bit = 0; bit < 32; ++bit) {
    reg = (reg & 1) ? ((reg ^ kPolynomial) >> 1) | 0x80000000u : reg >> 1;
  }
  reg ^= ~0u;
  for (int i = 0; i < 4; ++i) text[i] = static_cast<Byte>(reg >> (24 - 8 * i));
}

// A block of a few bytes of text, Burrows-Wheeler and move-to-front transformed by brute force,
// coded with two equal tables; `selectors` (at least 1) pads it bit by bit.
void write_block(BitWriter& w, const std::vector<Byte>& text, std::uint32_t crc, int selectors) {
  const std::size_t n = text.size();
  std::vector<std::size_t> rows(n);
  for (std::size_t i = 0; i < n; ++i) rows[i] = i;
  auto rotation_less = [&](std::size_t a, std::size_t b) {
    for (std::size_t k = 0; k < n; ++k) {
      const Byte x = text[(a + k) % n];
      const Byte y = text[(b + k) % n];
      if (x != y) return x < y;
    }
    return false;
  };
  std::stable_sort(rows.begin(), rows.end(), rotation_less);
  std::uint32_t orig_ptr = 0;
  std::vector<Byte> last(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (rows[i] == 0) orig_ptr = static_cast<std::uint32_t>(i);
    last[i] = text[(rows[i] + n - 1) % n];
  }
  bool used[256] = {};
  for (const Byte b : text) used[b] = true;
  std::vector<Byte> order;
  for (int b = 0; b < 256; ++b) {
    if (used[b]) order.push_back(static_cast<Byte>(b));
  }
  const int alpha = static_cast<int>(order.size()) + 2;
  std::vector<int> symbols;
  std::size_t zeros = 0;
  auto flush_zeros = [&] {
    // Bijective base two, least significant digit first: RUNA is 1, RUNB 2.
    for (; zeros > 0; zeros = (zeros - 1) / 2) symbols.push_back((zeros & 1) ? 0 : 1);
  };
  for (const Byte b : last) {
    const auto it = std::find(order.begin(), order.end(), b);
    const auto index = static_cast<std::size_t>(it - order.begin());
    if (index == 0) {
      ++zeros;
      continue;
    }
    flush_zeros();
    symbols.push_back(static_cast<int>(index) + 1);
    order.erase(it);
    order.insert(order.begin(), b);
  }
  flush_zeros();
  symbols.push_back(alpha - 1);

  // Lengths 1, 2, ..., alpha-1, alpha-1: a complete code; canonical codes follow from them.
  std::vector<int> lengths(static_cast<std::size_t>(alpha));
  for (int s = 0; s < alpha; ++s) lengths[static_cast<std::size_t>(s)] = std::min(s + 1, alpha - 1);
  std::vector<std::uint32_t> codes(static_cast<std::size_t>(alpha));
  std::uint32_t code = 0;
  for (int len = 1; len < alpha; ++len) {
    for (int s = 0; s < alpha; ++s) {
      if (lengths[static_cast<std::size_t>(s)] == len) codes[static_cast<std::size_t>(s)] = code++;
    }
    code <<= 1;
  }

  w.put(kBlockMagic, 48);
  w.put(crc, 32);
  w.put(0, 1);
  w.put(orig_ptr, 24);
  std::uint32_t ranges = 0;
  for (int b = 0; b < 256; ++b) {
    if (used[b]) ranges |= 0x8000u >> (b / 16);
  }
  w.put(ranges, 16);
  for (int r = 0; r < 16; ++r) {
    if ((ranges & (0x8000u >> r)) == 0) continue;
    std::uint32_t bytes = 0;
    for (int j = 0; j < 16; ++j) {
      if (used[r * 16 + j]) bytes |= 0x8000u >> j;
    }
    w.put(bytes, 16);
  }
  w.put(2, 3);
  w.put(static_cast<std::uint32_t>(selectors), 15);
  w.put(0, selectors);  // each selector: table 0, the front of the list
  for (int table = 0; table < 2; ++table) {
    int current = lengths[0];
    w.put(static_cast<std::uint32_t>(current), 5);
    for (const int len : lengths) {
      for (; current < len; ++current) w.put(2, 2);
      w.put(0, 1);
    }
  }
  for (const int s : symbols) {
    w.put(codes[static_cast<std::size_t>(s)], lengths[static_cast<std::size_t>(s)]);
  }
}

}  // namespace

std::uint64_t blocks_handed_to_libbz2() {
  return g_handed_to_libbz2.load(std::memory_order_relaxed);
}

std::vector<Byte> lead_in(int level, std::uint32_t crc, unsigned bit_offset,
                          std::size_t& text_size) {
  Byte four[4];
  text_with_crc(crc, four);
  std::vector<Byte> text(four, four + 4);
  // Four equal bytes take a count after them, as in any block.
  if (four[0] == four[1] && four[1] == four[2] && four[2] == four[3]) text.push_back(0);
  text_size = 4;
  for (int selectors = 1;; ++selectors) {
    BitWriter w;
    w.put(0x425A6800u | static_cast<std::uint32_t>('0' + level), 32);
    write_block(w, text, crc, selectors);
    if (w.bits % 8 == bit_offset) return std::move(w.bytes);
  }
}

}  // namespace bzip2

namespace {

using bzip2::Bits;
using bzip2::BlockDecoder;
using bzip2::kBitsPadding;

class Bzip2Decoder final : public Codec {
 public:
  const char* name() const override { return "bzip2"; }

  std::span<const Byte> taken_past_end() const override {
    if (state_ != State::kLibbz2) return {};
    return {pending_.data() + pending_at_, pending_.size() - pending_at_};
  }

  CodecStep run(std::span<const Byte> in, bool ended, std::span<Byte> out) override {
    if (state_ == State::kLibbz2) {
      pending_.insert(pending_.end(), in.begin(), in.end());
      return run_libbz2(in.size(), ended, out);
    }
    // A block's text goes out over several calls; input is taken only between blocks.
    std::size_t consumed = 0;
    if (state_ != State::kText) {
      append(in);
      consumed = in.size();
    }
    const CodecStep more{CodecResult::kMore, consumed, 0};
    for (;;) {
      const Bits bits{buffer_.data(), std::uint64_t{end_} * 8};
      switch (state_) {
        case State::kStreamStart:
          if (!start_stream(ended)) return more;
          break;
        case State::kMagic: {
          block_start_ = pos_;
          if (bits.available(pos_) < 48) {
            if (!ended) return more;
            fall_back();
            break;
          }
          const std::uint64_t magic = bits.peek(pos_) >> 16;
          if (magic == bzip2::kBlockMagic) {
            pos_ += 48;
            block_.start(level_);
            header_retry_bits_ = 0;
            state_ = State::kHeader;
          } else if (magic == bzip2::kEndMagic) {
            pos_ += 48;
            state_ = State::kStreamCrc;
          } else {
            fall_back();
          }
          break;
        }
        case State::kHeader:
        case State::kSymbols: {
          // A header is read again from its start when it was cut short: not before the input
          // has doubled, so that input fed in small pieces costs no more than in one.
          const bool header = state_ == State::kHeader;
          if (header && !ended && bits.end_bits < header_retry_bits_) return more;
          const auto status = header ? block_.read_header(bits, pos_, ended)
                                     : block_.read_symbols(bits, pos_, ended);
          if (status == BlockDecoder::Status::kMore) {
            if (header) header_retry_bits_ = bits.end_bits + (bits.end_bits - pos_) + 1024;
            return more;
          }
          if (status == BlockDecoder::Status::kReject) {
            fall_back();
          } else if (state_ == State::kHeader) {
            state_ = State::kSymbols;
          } else if (!block_.unscramble()) {
            fall_back();
          } else {
            combined_ = bzip2::combine_crc(combined_, block_.crc());
            state_ = State::kText;
          }
          break;
        }
        case State::kText: {
          const std::size_t produced = block_.emit(out.data(), out.size());
          if (block_.done()) {
            state_ = State::kMagic;
            drop_before(pos_);
            // A block whose text ends in a run's count of none has nothing left to give after
            // the call that filled the output: going on, rather than asking for input that the
            // caller may not have, is what keeps the end from reading as a cut.
            if (produced == 0) break;
          }
          return {CodecResult::kMore, consumed, produced};
        }
        case State::kStreamCrc:
          if (bits.available(pos_) < 32) {
            if (!ended) return more;
            fall_back();
            break;
          }
          if ((bits.peek(pos_) >> 32) != combined_) {
            fall_back();
            break;
          }
          // The stream ends on the byte holding its last bit.
          pos_ = (pos_ + 32 + 7) & ~std::uint64_t{7};
          first_stream_ = false;
          state_ = State::kStreamStart;
          drop_before(pos_);
          break;
        case State::kLibbz2:
          return run_libbz2(consumed, ended, out);
      }
    }
  }

 private:
  enum class State { kStreamStart, kMagic, kHeader, kSymbols, kText, kStreamCrc, kLibbz2 };

  // A stream's magic and level, and the first block's or the end's magic begun after them;
  // anything else goes to libbz2's codec as it is. False: more input is needed.
  bool start_stream(bool ended) {
    const std::size_t at = static_cast<std::size_t>(pos_ / 8);
    const Byte* p = buffer_.data() + at;
    const std::size_t available = end_ - at;
    constexpr std::size_t kNeeded = 5;
    if (available < kNeeded && !ended) return false;
    if (available >= kNeeded && p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' &&
        p[3] <= '9' && (p[4] == 0x31 || p[4] == 0x17)) {
      level_ = p[3] - '0';
      pos_ += 32;
      combined_ = 0;
      state_ = State::kMagic;
      return true;
    }
    to_libbz2(at, !first_stream_);
    return true;
  }

  // The rest of the input, from the block (or end of stream) that was turned down, behind a
  // lead-in that puts libbz2 where our decoder stood: at that bit, with the combined CRC so far.
  void fall_back() {
    const auto offset = static_cast<unsigned>(block_start_ % 8);
    std::size_t from = static_cast<std::size_t>(block_start_ / 8);
    std::size_t lead_text = 0;
    pending_ = bzip2::lead_in(level_, combined_, offset, lead_text);
    if (offset != 0) {
      pending_.back() = static_cast<Byte>(pending_.back() | (buffer_[from] & (0xFFu >> offset)));
      ++from;
    }
    pending_.insert(pending_.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(from),
                    buffer_.begin() + static_cast<std::ptrdiff_t>(end_));
    skip_ = lead_text;
    libbz2_ = make_libbz2_codec(false);
    bzip2::g_handed_to_libbz2.fetch_add(1, std::memory_order_relaxed);
    release_input();
  }

  void to_libbz2(std::size_t from, bool after_stream) {
    pending_.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(from),
                    buffer_.begin() + static_cast<std::ptrdiff_t>(end_));
    skip_ = 0;
    libbz2_ = make_libbz2_codec(after_stream);
    release_input();
  }

  void release_input() {
    buffer_ = {};
    end_ = 0;
    pos_ = 0;
    block_ = {};
    state_ = State::kLibbz2;
  }

  // libbz2's codec over what is pending, the lead-in's text left out of its output.
  CodecStep run_libbz2(std::size_t consumed, bool ended, std::span<Byte> out) {
    for (;;) {
      const std::span<const Byte> in(pending_.data() + pending_at_, pending_.size() - pending_at_);
      const CodecStep step = libbz2_->run(in, ended, out);
      pending_at_ += step.consumed;
      if (pending_at_ == pending_.size()) {
        pending_.clear();
        pending_at_ = 0;
      }
      std::size_t produced = step.produced;
      if (skip_ != 0 && produced != 0) {
        const std::size_t skipped = std::min(skip_, produced);
        std::memmove(out.data(), out.data() + skipped, produced - skipped);
        produced -= skipped;
        skip_ -= skipped;
      }
      if (step.result != CodecResult::kMore || produced != 0) {
        return {step.result, consumed, produced};
      }
      if (step.consumed == 0 && step.produced == 0) return {CodecResult::kMore, consumed, 0};
    }
  }

  void append(std::span<const Byte> in) {
    if (in.empty()) return;
    buffer_.resize(end_ + in.size() + kBitsPadding);
    std::memcpy(buffer_.data() + end_, in.data(), in.size());
    end_ += in.size();
    std::memset(buffer_.data() + end_, 0, kBitsPadding);
  }

  // Input before the byte of bit `pos` is done with.
  void drop_before(std::uint64_t pos) {
    const auto from = static_cast<std::size_t>(pos / 8);
    if (from == 0) return;
    std::memmove(buffer_.data(), buffer_.data() + from, end_ - from + kBitsPadding);
    end_ -= from;
    pos_ -= std::uint64_t{from} * 8;
    buffer_.resize(end_ + kBitsPadding);
  }

  State state_ = State::kStreamStart;
  std::vector<Byte> buffer_;
  std::size_t end_ = 0;            // bytes of input in buffer_, followed by kBitsPadding zeros
  std::uint64_t pos_ = 0;          // the next bit to decode
  std::uint64_t block_start_ = 0;  // the first bit of the block (or end) being decoded
  std::uint64_t header_retry_bits_ = 0;  // input to wait for before reading the header again
  int level_ = 9;
  std::uint32_t combined_ = 0;
  bool first_stream_ = true;
  BlockDecoder block_;

  std::unique_ptr<Codec> libbz2_;
  std::vector<Byte> pending_;
  std::size_t pending_at_ = 0;
  std::size_t skip_ = 0;
};

}  // namespace

std::unique_ptr<Codec> make_bzip2_decoder() {
#ifdef VANTREL_BZIP2_DECODER
  return std::make_unique<Bzip2Decoder>();
#else
  return nullptr;
#endif
}

}  // namespace vantrel::sources
