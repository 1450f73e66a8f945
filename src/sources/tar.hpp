// Tar archives read front to back, one header block at a time, so that a compressed tar is
// never held whole: ustar, GNU long names and pax extended headers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sources/byte_stream.hpp"

namespace vantrel::sources {

inline constexpr std::size_t kTarBlockSize = 512;

// Whether a header block's checksum is right: the sum of its bytes with the checksum field
// taken as spaces. Old writers summed signed chars, so either sum is accepted.
bool tar_checksum_matches(std::span<const Byte, kTarBlockSize> block);

class TarReader {
 public:
  // `max_zeros`: how many bytes of zeros may follow the last member before they are taken for
  // what they most likely are, a bomb (a compressed run of zeros) rather than an end.
  explicit TarReader(ByteStream& archive, std::uint64_t max_zeros = std::uint64_t{4} << 30)
      : archive_(archive), max_zeros_(max_zeros) {}

  // Moves past what is left of the current member to the next regular file. False at the end
  // of the archive, or when it is damaged (error() then says how).
  //
  // A header block that is not one (its checksum wrong, its size unreadable) loses the member
  // it began, since its data's length is unknown, but not the members after it: next() fails
  // once, naming where, with intact() still true, and the call after that reads on from the
  // next block that is a header, as tar itself skips to the next header.
  bool next();

  // The current member: its path in the archive and its bytes.
  const std::string& path() const { return path_; }
  ByteStream& data() { return *member_; }
  std::uint64_t size() const { return size_; }
  // Where the current member's data begins in the archive's bytes.
  std::uint64_t data_start() const { return data_start_; }
  // Where in the archive the walk to the current member began: the end of the previous
  // member's data and padding (0 for the first). A reader started there, on the bytes that
  // follow, meets the same members from this one on, as it carries nothing over between them.
  std::uint64_t entry_start() const { return entry_start_; }

  // Whether the archive can still be read on; false once the archive's own bytes failed or
  // ran out, as opposed to a member's content turning out bad.
  bool intact() const {
    return error_.empty() && !archive_.failed() && !(member_ && member_->failed());
  }
  const std::string& error() const { return error_; }
  // After next() failed: whether it lost one member to a damaged header and can read on.
  bool lost_member() const { return resync_; }

 private:
  struct Overrides {
    std::string path;
    std::optional<std::uint64_t> size;
  };

  bool finish_member();
  bool read_meta(std::uint64_t size, std::string& text);
  bool parse_pax(const std::string& records);
  bool skip_data(std::uint64_t size);
  bool end_at_zeros(std::uint64_t at);
  bool fail(std::string text);
  bool lose_header();
  bool find_header(std::array<Byte, kTarBlockSize>& block);

  ByteStream& archive_;
  std::uint64_t max_zeros_;
  std::optional<LimitedStream> member_;
  std::uint64_t padding_ = 0;
  std::uint64_t size_ = 0;
  // Archive bytes consumed so far, where the current walk began, and the member's data.
  std::uint64_t position_ = 0;
  std::uint64_t entry_start_ = 0;
  std::uint64_t data_start_ = 0;
  Overrides overrides_;
  std::string path_;
  std::string error_;
  bool ended_ = false;
  // A damaged header was reported: the next call looks for the next good one, starting with
  // the one already read, if the damage was found by reading it.
  bool resync_ = false;
  std::optional<std::array<Byte, kTarBlockSize>> pending_;
};

}  // namespace vantrel::sources
