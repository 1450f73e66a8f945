// What a file holds, told from its first bytes alone: names are often wrong (a ".json" that is
// gzip, a member called ".bz2" that was stored plain), content never is.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "sources/codec.hpp"

namespace vantrel::sources {

enum class Format { kPlain, kGzip, kBzip2, kZstd, kXz, kZip, kTar };

// Enough of the start of a file to tell every format apart: a tar header block.
inline constexpr std::size_t kFormatHeadSize = 512;

// `head` is the first kFormatHeadSize bytes, or the whole input when shorter.
Format detect_format(std::span<const Byte> head);

// The format a file's name gives, for iter_prices_file, which goes by names alone: gzip when
// the extension of the path's last component is exactly "gz" or "gzip", else plain text.
Format format_named_by(std::string_view path);

bool is_compressed(Format format);
bool is_archive(Format format);

// "gzip", "bzip2", ...: as error texts name the format.
const char* format_name(Format format);

// The decoder for a compressed format, or null when its library was not built in.
std::unique_ptr<Codec> make_codec(Format format);

// Formats that are not read but whose first bytes are known, so that the error can name them:
// "lz4", "Parquet", ...; null for anything else.
const char* foreign_format_name(std::span<const Byte> head);

// Whether `head`, found to be no format that is read, could start a line-per-message text:
// JSON holds no raw control bytes, so one other than whitespace means the file is binary. A
// head of zeros alone is left to the reader, which tells a zero-filled file for what it is.
bool looks_like_text(std::span<const Byte> head);

// The size of the UTF-8 byte-order mark some editors and Windows tools put at the start of a
// text file (3), or 0 when there is none.
std::size_t byte_order_mark_size(std::span<const Byte> head);

// "bzip2 support was not built in (install libbz2-dev and rebuild)"
const char* missing_support_text(Format format);

}  // namespace vantrel::sources
