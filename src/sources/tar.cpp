#include "sources/tar.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace vantrel::sources {
namespace {

constexpr std::size_t kBlockSize = kTarBlockSize;
constexpr char kTruncated[] = "truncated tar archive";
constexpr char kInvalidHeader[] = "invalid tar header";
// Long names and pax records are a few hundred bytes; more is damage.
constexpr std::uint64_t kMaxMetaSize = std::uint64_t{1} << 20;
// Far beyond any real file, and far enough from 2^64 that sizes plus padding add up safely.
constexpr std::uint64_t kMaxMemberSize = std::uint64_t{1} << 62;

using Block = std::array<Byte, kBlockSize>;

struct Field {
  std::size_t offset;
  std::size_t size;
};
constexpr Field kName{0, 100};
constexpr Field kSize{124, 12};
constexpr Field kChecksum{148, 8};
constexpr std::size_t kTypeOffset = 156;
constexpr Field kMagic{257, 6};
constexpr Field kPrefix{345, 155};

std::string_view text_field(const Block& block, Field field) {
  const auto* begin = reinterpret_cast<const char*>(block.data() + field.offset);
  const void* nul = std::memchr(begin, 0, field.size);
  return {begin,
          nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - begin) : field.size};
}

// Octal digits padded with spaces or NULs, or, for sizes past 8 GiB, base-256 behind a set top
// bit (a GNU extension).
bool parse_number(const Byte* block, Field field, std::uint64_t& value) {
  const Byte* p = block + field.offset;
  value = 0;
  if (p[0] & 0x80) {
    if (p[0] != 0x80) return false;  // negative, or too large for 64 bits
    for (std::size_t i = 1; i < field.size; ++i) {
      if (value >> 56) return false;
      value = value << 8 | p[i];
    }
    return true;
  }
  std::size_t i = 0;
  while (i < field.size && p[i] == ' ') ++i;
  bool digits = false;
  for (; i < field.size && p[i] >= '0' && p[i] <= '7'; ++i) {
    value = value * 8 + (p[i] - '0');
    digits = true;
  }
  for (; i < field.size; ++i) {
    if (p[i] != ' ' && p[i] != 0) return false;
  }
  return digits;
}

bool all_zero(std::span<const Byte> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](Byte c) { return c == 0; });
}

std::string ustar_path(const Block& block) {
  std::string path(text_field(block, kName));
  // Only POSIX ustar has the prefix; GNU headers keep other fields there.
  if (std::memcmp(block.data() + kMagic.offset, "ustar", kMagic.size) == 0) {
    const std::string_view prefix = text_field(block, kPrefix);
    if (!prefix.empty()) path = std::string(prefix) + "/" + path;
  }
  return path;
}

std::uint64_t padding_after(std::uint64_t size) {
  return (kBlockSize - size % kBlockSize) % kBlockSize;
}

}  // namespace

bool tar_checksum_matches(std::span<const Byte, kTarBlockSize> block) {
  std::uint64_t stored = 0;
  if (!parse_number(block.data(), kChecksum, stored)) return false;
  std::uint64_t unsigned_sum = 0;
  std::int64_t signed_sum = 0;
  for (std::size_t i = 0; i < kBlockSize; ++i) {
    const bool in_field = i >= kChecksum.offset && i < kChecksum.offset + kChecksum.size;
    const Byte c = in_field ? Byte{' '} : block[i];
    unsigned_sum += c;
    signed_sum += static_cast<signed char>(c);
  }
  return stored == unsigned_sum || static_cast<std::int64_t>(stored) == signed_sum;
}

bool TarReader::fail(std::string text) {
  if (error_.empty()) error_ = std::move(text);
  ended_ = true;
  return false;
}

bool TarReader::skip_data(std::uint64_t size) {
  std::uint64_t skipped = 0;
  if (!archive_.skip(size, skipped)) return fail(archive_.error());
  position_ += skipped;
  if (skipped < size) return fail(kTruncated);
  return true;
}

// The member a bad header began is lost, not the archive: the reader stays usable.
bool TarReader::lose_header() {
  // No position in the text: a plain tar may be read in groups of members, each from its own
  // start, and every reading must name the damage alike.
  error_ = std::string(kInvalidHeader) + ": the member it began is lost";
  overrides_ = {};
  resync_ = true;
  return false;
}

namespace {

// Whether a block can be taken for a header: its checksum right and its size readable.
bool is_header(const Block& block) {
  std::uint64_t size = 0;
  return !all_zero(block) && tar_checksum_matches(block) &&
         parse_number(block.data(), kSize, size) && size <= kMaxMemberSize;
}

}  // namespace

// Reads blocks until one is a header. False at the end of the archive, or when reading failed
// (error() then says how).
bool TarReader::find_header(Block& block) {
  if (pending_) {
    block = *pending_;
    pending_.reset();
    return true;
  }
  for (;;) {
    std::size_t got = 0;
    if (!archive_.read_full(block, got)) return fail(archive_.error());
    position_ += got;
    if (got < kBlockSize) {
      ended_ = true;
      return false;
    }
    if (is_header(block)) return true;
  }
}

bool TarReader::finish_member() {
  if (!member_) return true;
  std::uint64_t skipped = 0;
  const bool ok = member_->skip(member_->remaining(), skipped);
  if (!ok) return fail(member_->error());
  member_.reset();
  // The archive may end right after the last member's data, without padding or end blocks.
  std::uint64_t padded = 0;
  if (!archive_.skip(padding_, padded)) return fail(archive_.error());
  position_ = data_start_ + size_ + padded;
  if (padded < padding_) ended_ = true;
  return true;
}

bool TarReader::read_meta(std::uint64_t size, std::string& text) {
  if (size > kMaxMetaSize) return fail(kInvalidHeader);
  text.resize(static_cast<std::size_t>(size));
  std::size_t got = 0;
  if (!archive_.read_full({reinterpret_cast<Byte*>(text.data()), text.size()}, got)) {
    return fail(archive_.error());
  }
  position_ += got;
  if (got < size) return fail(kTruncated);
  return skip_data(padding_after(size));
}

// Records read "<length> <key>=<value>\n", the length counting the whole record.
bool TarReader::parse_pax(const std::string& records) {
  std::string_view rest(records);
  while (!rest.empty()) {
    std::size_t length = 0;
    std::size_t i = 0;
    while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9' && length < kMaxMetaSize) {
      length = length * 10 + static_cast<std::size_t>(rest[i++] - '0');
    }
    if (i == 0 || i >= rest.size() || rest[i] != ' ' || length <= i + 1 || length > rest.size() ||
        rest[length - 1] != '\n') {
      return fail(kInvalidHeader);
    }
    const std::string_view record = rest.substr(i + 1, length - i - 2);
    rest.remove_prefix(length);
    const std::size_t equals = record.find('=');
    if (equals == std::string_view::npos) return fail(kInvalidHeader);
    const std::string_view key = record.substr(0, equals);
    const std::string_view value = record.substr(equals + 1);
    if (key == "path") {
      overrides_.path = value;
    } else if (key == "size") {
      std::uint64_t size = 0;
      if (value.empty() || value.size() > 19) return fail(kInvalidHeader);
      for (const char c : value) {
        if (c < '0' || c > '9') return fail(kInvalidHeader);
        size = size * 10 + static_cast<std::uint64_t>(c - '0');
      }
      if (size > kMaxMemberSize) return fail(kInvalidHeader);
      overrides_.size = size;
    }
  }
  return true;
}

// A zero block ends the archive only when nothing but zeros follows it, as the end blocks and
// a writer's padding to its record size do. Zeros with data after them are a block wiped by a
// crash or a bad copy (a recording whose start was zeroed looks like an empty tar): taking them
// for the end would drop everything after without a word.
// Like a damaged header, the wiped block loses the member it began, not the ones after it: the
// reader goes on from the first header after the zeros (which may be the very next block).
bool TarReader::end_at_zeros(std::uint64_t at) {
  for (;;) {
    Block block{};
    std::size_t got = 0;
    if (!archive_.read_full(block, got)) return fail(archive_.error());
    position_ += got;
    if (got == 0) break;
    if (all_zero(std::span<const Byte>(block).first(got))) {
      if (position_ - at > max_zeros_) {
        return fail("more than " + std::to_string(max_zeros_) +
                    " bytes of nothing but zeros: not the end of a tar");
      }
      continue;
    }
    error_ = "zeroed block at byte " + std::to_string(at) +
             " with data after it: a damaged archive or recording, not the end of a tar";
    overrides_ = {};
    resync_ = true;
    if (got == kBlockSize && is_header(block)) pending_ = block;
    return false;
  }
  ended_ = true;
  return false;
}

bool TarReader::next() {
  bool resyncing = resync_;
  if (resync_) {
    error_.clear();
    resync_ = false;
  }
  if (ended_ || !finish_member() || ended_) return false;
  entry_start_ = position_;
  for (;;) {
    Block block{};
    if (resyncing) {
      if (!find_header(block)) return false;
      resyncing = false;
    } else {
      std::size_t got = 0;
      const std::uint64_t at = position_;
      if (!archive_.read_full(block, got)) return fail(archive_.error());
      position_ += got;
      // Some writers stop after the last member without the end-of-archive blocks.
      if (got == 0) {
        ended_ = true;
        return false;
      }
      if (all_zero(std::span<const Byte>(block).first(got))) return end_at_zeros(at);
      if (got < kBlockSize) return fail(kTruncated);
    }
    std::uint64_t size = 0;
    if (!tar_checksum_matches(block) || !parse_number(block.data(), kSize, size) ||
        size > kMaxMemberSize) {
      return lose_header();
    }
    const char type = static_cast<char>(block[kTypeOffset]);
    std::string text;
    switch (type) {
      case 'L':  // GNU: the next member's long name
        if (!read_meta(size, text)) return false;
        overrides_.path = text.substr(0, text.find('\0'));
        continue;
      case 'x':  // pax: the next member's extended header
        if (!read_meta(size, text) || !parse_pax(text)) return false;
        continue;
      case '0':
      case '\0':
      case '7': {  // regular files, contiguous ones included
        path_ = overrides_.path.empty() ? ustar_path(block) : std::move(overrides_.path);
        size = overrides_.size.value_or(size);
        overrides_ = {};
        member_.emplace(archive_, size, kTruncated);
        padding_ = padding_after(size);
        size_ = size;
        data_start_ = position_;
        return true;
      }
      case '1':  // hard links, symbolic links, devices, directories and fifos hold no data
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
        overrides_ = {};
        continue;
      default:  // pax globals, GNU long link names, sparse files, volume labels: passed over
        if (type != 'K' && type != 'g') overrides_ = {};
        if (!skip_data(size + padding_after(size))) return false;
        continue;
    }
  }
}

}  // namespace vantrel::sources
