#include "sources/zip.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "sources/format.hpp"

namespace vantrel::sources {
namespace {

constexpr char kInvalid[] = "invalid zip archive";
constexpr char kTruncated[] = "truncated zip archive";

constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kMaxCommentSize = 65535;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndRecordSize = 56;
constexpr std::size_t kDirectoryEntrySize = 46;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kFlagEncrypted = 0x0001;

enum Method : std::uint16_t { kStored = 0, kDeflate = 8, kBzip2 = 12, kLzma = 14 };

std::uint16_t le16(const Byte* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t le32(const Byte* p) {
  return le16(p) | static_cast<std::uint32_t>(le16(p + 2)) << 16;
}
std::uint64_t le64(const Byte* p) {
  return le32(p) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
}

bool set_error(std::string& error, std::string text) {
  error = std::move(text);
  return false;
}

bool has_signature(const Byte* p, Byte a, Byte b) {
  return p[0] == 'P' && p[1] == 'K' && p[2] == a && p[3] == b;
}

bool read_exactly(Input& input, std::uint64_t offset, std::span<Byte> out, std::string& error) {
  std::size_t got = 0;
  while (got < out.size()) {
    std::size_t n = 0;
    if (!input.read_at(offset + got, out.subspan(got), n)) {
      error = input.error();
      return false;
    }
    if (n == 0) {
      error = kTruncated;
      return false;
    }
    got += n;
  }
  return true;
}

struct Directory {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint64_t entries = 0;
};

// The zip64 end record, found through the locator that sits right before the classic one.
bool read_zip64_end(Input& input, std::uint64_t end_offset, Directory& directory,
                    std::string& error) {
  if (end_offset < kZip64LocatorSize) return set_error(error, kInvalid);
  Byte locator[kZip64LocatorSize];
  if (!read_exactly(input, end_offset - kZip64LocatorSize, locator, error)) return false;
  if (!has_signature(locator, 6, 7)) return set_error(error, kInvalid);
  Byte record[kZip64EndRecordSize];
  if (!read_exactly(input, le64(locator + 8), record, error)) return false;
  if (!has_signature(record, 6, 6)) return set_error(error, kInvalid);
  directory.entries = le64(record + 32);
  directory.size = le64(record + 40);
  directory.offset = le64(record + 48);
  return true;
}

// The end record is the last "PK\5\6" whose comment reaches exactly to the end of the file.
bool find_directory(Input& input, Directory& directory, std::string& error) {
  std::uint64_t file_size = 0;
  if (!input.size(file_size)) return set_error(error, input.error());
  const std::size_t tail_size = static_cast<std::size_t>(
      std::min<std::uint64_t>(file_size, kEndRecordSize + kMaxCommentSize));
  std::vector<Byte> tail(tail_size);
  const std::uint64_t tail_offset = file_size - tail_size;
  if (!read_exactly(input, tail_offset, tail, error)) return false;
  for (std::size_t pos = tail_size < kEndRecordSize ? 0 : tail_size - kEndRecordSize + 1;
       pos-- > 0;) {
    const Byte* record = tail.data() + pos;
    if (!has_signature(record, 5, 6) || pos + kEndRecordSize + le16(record + 20) != tail_size) {
      continue;
    }
    if (le16(record + 4) != 0 || le16(record + 6) != 0) {
      error = "zip archives split over several files are not supported";
      return false;
    }
    directory.entries = le16(record + 10);
    directory.size = le32(record + 12);
    directory.offset = le32(record + 16);
    const std::uint64_t end_offset = tail_offset + pos;
    if (directory.entries == 0xFFFF || directory.size == 0xFFFFFFFF ||
        directory.offset == 0xFFFFFFFF) {
      if (!read_zip64_end(input, end_offset, directory, error)) return false;
    }
    if (directory.offset > end_offset || directory.size > end_offset - directory.offset) {
      return set_error(error, kInvalid);
    }
    return true;
  }
  // A zip cut short loses its end record first.
  error = kTruncated;
  return false;
}

// Sizes and offset too large for their 32-bit fields are in the zip64 extra field, in this
// order, each present only when its field is all ones.
bool apply_zip64_extra(std::span<const Byte> extra, ZipEntry& entry) {
  while (extra.size() >= 4) {
    const std::uint16_t id = le16(extra.data());
    const std::size_t size = le16(extra.data() + 2);
    if (size > extra.size() - 4) return false;
    std::span<const Byte> data = extra.subspan(4, size);
    extra = extra.subspan(4 + size);
    if (id != kZip64ExtraId) continue;
    for (std::uint64_t* field : {&entry.size, &entry.compressed_size, &entry.header_offset}) {
      if (*field != 0xFFFFFFFF) continue;
      if (data.size() < 8) return false;
      *field = le64(data.data());
      data = data.subspan(8);
    }
  }
  return true;
}

// Directories end in "/"; zip files made on Unix also keep the file's type in the upper half
// of the external attributes, and MS-DOS marks directories in the lower half.
bool is_regular_file(const Byte* record, const std::string& path) {
  if (path.empty() || path.back() == '/') return false;
  const std::uint32_t attributes = le32(record + 38);
  if (attributes & 0x10) return false;
  constexpr std::uint8_t kUnix = 3;
  if (record[5] != kUnix) return true;
  const std::uint32_t type = (attributes >> 16) & 0170000;
  return type == 0 || type == 0100000;
}

bool parse_directory(std::span<const Byte> bytes, std::uint64_t count,
                     std::vector<ZipEntry>& entries, std::string& error) {
  for (std::uint64_t i = 0; i < count; ++i) {
    if (bytes.size() < kDirectoryEntrySize || !has_signature(bytes.data(), 1, 2)) {
      return set_error(error, kInvalid);
    }
    const Byte* record = bytes.data();
    const std::size_t name_size = le16(record + 28);
    const std::size_t extra_size = le16(record + 30);
    const std::size_t comment_size = le16(record + 32);
    const std::size_t total = kDirectoryEntrySize + name_size + extra_size + comment_size;
    if (bytes.size() < total) return set_error(error, kInvalid);
    ZipEntry entry;
    entry.path.assign(reinterpret_cast<const char*>(record + kDirectoryEntrySize), name_size);
    entry.flags = le16(record + 8);
    entry.method = le16(record + 10);
    entry.crc = le32(record + 16);
    entry.compressed_size = le32(record + 20);
    entry.size = le32(record + 24);
    entry.header_offset = le32(record + 42);
    if (!apply_zip64_extra(bytes.subspan(kDirectoryEntrySize + name_size, extra_size), entry)) {
      return set_error(error, kInvalid);
    }
    if (is_regular_file(record, entry.path)) entries.push_back(std::move(entry));
    bytes = bytes.subspan(total);
  }
  return true;
}

std::unique_ptr<Codec> method_codec(const ZipEntry& entry, std::string& error) {
  std::unique_ptr<Codec> codec;
  switch (entry.method) {
    case kDeflate:
      codec = make_deflate_codec();
      break;
    case kBzip2:
      codec = make_bzip2_codec();
      if (!codec) error = missing_support_text(Format::kBzip2);
      break;
    case kLzma:
      codec = make_zip_lzma_codec(entry.size);
      if (!codec) error = "lzma support was not built in (install liblzma-dev and rebuild)";
      break;
    default:
      error = "unsupported zip compression method " + std::to_string(entry.method);
      break;
  }
  return codec;
}

// Marks every entry whose local header starts inside the bytes of an entry before it (its
// fixed header and compressed data at least; names and extra fields only make them longer).
void mark_overlaps(std::vector<ZipEntry>& entries) {
  std::vector<ZipEntry*> by_offset;
  by_offset.reserve(entries.size());
  for (ZipEntry& e : entries) by_offset.push_back(&e);
  std::stable_sort(by_offset.begin(), by_offset.end(), [](const ZipEntry* a, const ZipEntry* b) {
    return a->header_offset < b->header_offset;
  });
  std::uint64_t taken_to = 0;
  for (ZipEntry* e : by_offset) {
    if (e->header_offset < taken_to) {
      e->overlaps = true;
      continue;
    }
    const std::uint64_t fixed = e->header_offset + kLocalHeaderSize;
    taken_to = e->compressed_size > UINT64_MAX - fixed ? UINT64_MAX : fixed + e->compressed_size;
  }
}

}  // namespace

bool read_zip_directory(Input& input, std::vector<ZipEntry>& entries, std::string& error) {
  Directory directory;
  if (!find_directory(input, directory, error)) return false;
  // Every entry takes at least its fixed part, so a count beyond that is damage.
  if (directory.entries > directory.size / kDirectoryEntrySize) return set_error(error, kInvalid);
  std::vector<Byte> bytes(static_cast<std::size_t>(directory.size));
  if (!read_exactly(input, directory.offset, bytes, error)) return false;
  if (!parse_directory(bytes, directory.entries, entries, error)) return false;
  mark_overlaps(entries);
  return true;
}

bool ZipMemberStream::open(Input& input, const ZipEntry& entry, std::string& error) {
  if (entry.flags & kFlagEncrypted)
    return set_error(error, "encrypted zip member is not supported");
  std::unique_ptr<Codec> codec;
  if (entry.method != kStored && !(codec = method_codec(entry, error))) return false;
  // The local header repeats the name and has an extra field of its own, of its own length.
  Byte header[kLocalHeaderSize];
  if (!read_exactly(input, entry.header_offset, header, error)) return false;
  if (!has_signature(header, 3, 4)) return set_error(error, kInvalid);
  const std::uint64_t data_offset =
      entry.header_offset + kLocalHeaderSize + le16(header + 26) + le16(header + 28);
  std::uint64_t file_size = 0;
  if (!input.size(file_size)) return set_error(error, input.error());
  if (data_offset > file_size || entry.compressed_size > file_size - data_offset) {
    return set_error(error, kTruncated);
  }
  data_offset_ = data_offset;
  raw_ = std::make_unique<RangeStream>(input, data_offset, entry.compressed_size);
  ByteStream* data = raw_.get();
  if (codec) {
    decoded_ = std::make_unique<DecodingStream>(*raw_, std::move(codec));
    data = decoded_.get();
  }
  checked_ = std::make_unique<CheckedStream>(
      *data, entry.size, entry.crc, "zip member does not match its recorded size and checksum");
  return true;
}

}  // namespace vantrel::sources
