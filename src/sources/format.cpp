#include "sources/format.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "sources/tar.hpp"

namespace vantrel::sources {
namespace {

bool starts_with(std::span<const Byte> head, std::initializer_list<Byte> magic) {
  return head.size() >= magic.size() && std::equal(magic.begin(), magic.end(), head.begin());
}

bool is_zstd(std::span<const Byte> head) {
  if (starts_with(head, {0x28, 0xb5, 0x2f, 0xfd})) return true;
  // Skippable frames: 0x184D2A50 to 0x184D2A5F, little-endian.
  return head.size() >= 4 && (head[0] & 0xF0) == 0x50 && head[1] == 0x2a && head[2] == 0x4d &&
         head[3] == 0x18;
}

constexpr std::size_t kMagicOffset = 257;

bool is_tar(std::span<const Byte> head) {
  if (head.size() < kFormatHeadSize) return false;
  // A tar with nothing in it is only its end-of-archive blocks; text never starts with NUL.
  if (std::all_of(head.begin(), head.begin() + kFormatHeadSize, [](Byte c) { return c == 0; })) {
    return true;
  }
  const auto* magic = reinterpret_cast<const char*>(head.data() + kMagicOffset);
  const bool ustar = std::memcmp(magic, "ustar", 6) == 0 || std::memcmp(magic, "ustar  ", 8) == 0;
  // The magic alone is enough: a first header damaged elsewhere (its checksum then wrong) is
  // the tar reader's to name, losing that member only, not a reason to call the whole archive
  // something else. Old headers without the magic need their checksum.
  return ustar || tar_checksum_matches(head.first<kFormatHeadSize>());
}

}  // namespace

Format detect_format(std::span<const Byte> head) {
  if (starts_with(head, {0x1f, 0x8b})) return Format::kGzip;
  if (starts_with(head, {'B', 'Z', 'h'}) && head.size() >= 4 && head[3] >= '1' && head[3] <= '9') {
    return Format::kBzip2;
  }
  if (is_zstd(head)) return Format::kZstd;
  if (starts_with(head, {0xfd, '7', 'z', 'X', 'Z', 0x00})) return Format::kXz;
  if (starts_with(head, {'P', 'K', 3, 4}) || starts_with(head, {'P', 'K', 5, 6})) {
    return Format::kZip;
  }
  if (is_tar(head)) return Format::kTar;
  return Format::kPlain;
}

Format format_named_by(std::string_view path) {
  // Trailing separators and "." components do not name anything new.
  for (;;) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    if (path.size() >= 2 && path.substr(path.size() - 2) == "/.") {
      path.remove_suffix(1);
      continue;
    }
    break;
  }
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name == "..") return Format::kPlain;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return Format::kPlain;
  const std::string_view extension = name.substr(dot + 1);
  return extension == "gz" || extension == "gzip" ? Format::kGzip : Format::kPlain;
}

bool is_compressed(Format format) {
  return format == Format::kGzip || format == Format::kBzip2 || format == Format::kZstd ||
         format == Format::kXz;
}

bool is_archive(Format format) {
  return format == Format::kZip || format == Format::kTar;
}

const char* format_name(Format format) {
  switch (format) {
    case Format::kPlain:
      return "plain text";
    case Format::kGzip:
      return "gzip";
    case Format::kBzip2:
      return "bzip2";
    case Format::kZstd:
      return "zstd";
    case Format::kXz:
      return "xz";
    case Format::kZip:
      return "zip";
    case Format::kTar:
      return "tar";
  }
  return "";
}

std::unique_ptr<Codec> make_codec(Format format) {
  switch (format) {
    case Format::kGzip:
      return make_gzip_codec();
    case Format::kBzip2:
      return make_bzip2_codec();
    case Format::kZstd:
      return make_zstd_codec();
    case Format::kXz:
      return make_xz_codec();
    default:
      return nullptr;
  }
}

const char* foreign_format_name(std::span<const Byte> head) {
  struct Magic {
    std::initializer_list<Byte> bytes;
    const char* name;
  };
  static const Magic kKnown[] = {
      {{0x04, 0x22, 0x4d, 0x18}, "lz4"},
      {{0x02, 0x21, 0x4c, 0x18}, "lz4 (legacy frame)"},
      // Properties byte 0x5d (the default lc/lp/pb) and a dictionary size below 16 MB.
      {{0x5d, 0x00, 0x00}, "lzma (legacy .lzma)"},
      {{'L', 'Z', 'I', 'P'}, "lzip"},
      {{0x1f, 0x9d}, "Unix compress (.Z)"},
      {{'7', 'z', 0xbc, 0xaf, 0x27, 0x1c}, "7-Zip"},
      {{'R', 'a', 'r', '!', 0x1a, 0x07}, "RAR"},
      {{0xff, 0x06, 0x00, 0x00, 's', 'N', 'a', 'P', 'p', 'Y'}, "snappy"},
      {{'P', 'A', 'R', '1'}, "Parquet"},
      {{'A', 'R', 'R', 'O', 'W', '1'}, "Arrow"},
      {{'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't'}, "SQLite"},
      {{0x89, 'H', 'D', 'F'}, "HDF5"},
      {{'%', 'P', 'D', 'F'}, "PDF"},
  };
  for (const Magic& magic : kKnown) {
    if (starts_with(head, magic.bytes)) return magic.name;
  }
  return nullptr;
}

bool looks_like_text(std::span<const Byte> head) {
  bool all_zero = true;
  bool control = false;
  for (const Byte c : head) {
    all_zero &= c == 0;
    control |= c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f';
  }
  return all_zero || !control;
}

std::size_t byte_order_mark_size(std::span<const Byte> head) {
  return starts_with(head, {0xef, 0xbb, 0xbf}) ? 3 : 0;
}

const char* missing_support_text(Format format) {
  switch (format) {
    case Format::kBzip2:
      return "bzip2 support was not built in (install libbz2-dev and rebuild)";
    case Format::kZstd:
      return "zstd support was not built in (install libzstd-dev and rebuild)";
    case Format::kXz:
      return "xz support was not built in (install liblzma-dev and rebuild)";
    default:
      return "support for this format was not built in";
  }
}

}  // namespace vantrel::sources
