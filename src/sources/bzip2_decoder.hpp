// bzip2 decoded by our own decoder (bzip2_block.*), with libbz2 beside it as the reference:
// whatever the decoder does not take as certainly sound (damage, a CRC that does not match,
// randomised blocks, anything an encoder never writes) is decoded again by libbz2 from the
// start of the block, so that output, verdicts and error texts on such data are libbz2's.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sources/codec.hpp"

namespace vantrel::sources {

// libbz2 alone: every stream, as make_bzip2_codec was before the decoder; `after_stream` when
// the input begins after a stream, where anything but a stream's magic ends the data.
std::unique_ptr<Codec> make_libbz2_codec(bool after_stream);

// Our decoder, falling back on libbz2 as above; null in a build without it.
std::unique_ptr<Codec> make_bzip2_decoder();

namespace bzip2 {

// A stream of level `level` holding one block of `text_size` bytes whose CRC is `crc`, cut
// after the block: `bit_offset` (0-7) bits into its last byte, whose other bits are zero. A
// stream's blocks are independent but for its combined CRC, so the bytes from a block's first
// bit on, written behind this where the block began `bit_offset` bits into a byte, make a
// stream libbz2 reads exactly as it would have read them in the original, given as `crc` the
// combined CRC of the blocks before.
std::vector<Byte> lead_in(int level, std::uint32_t crc, unsigned bit_offset,
                          std::size_t& text_size);

// How many times, in this process, the decoder has handed a block to libbz2: for tests and
// benchmarks, which expect it to stay still on sound data.
std::uint64_t blocks_handed_to_libbz2();

}  // namespace bzip2
}  // namespace vantrel::sources
