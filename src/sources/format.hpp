// What a file holds, told from its first bytes alone: names are often wrong (a ".json" that is
// gzip, a member called ".bz2" that was stored plain), content never is.
#pragma once

#include <cstddef>
#include <span>

#include "sources/codec.hpp"

namespace vantrel::sources {

enum class Format { kPlain, kGzip, kBzip2, kZstd, kXz, kZip, kTar };

// Enough of the start of a file to tell every format apart: a tar header block.
inline constexpr std::size_t kFormatHeadSize = 512;

// `head` is the first kFormatHeadSize bytes, or the whole input when shorter.
Format detect_format(std::span<const Byte> head);

bool is_compressed(Format format);
bool is_archive(Format format);

// "gzip", "bzip2", ...: as error texts name the format.
const char* format_name(Format format);

// The decoder for a compressed format, or null when its library was not built in.
std::unique_ptr<Codec> make_codec(Format format);

// "bzip2 support was not built in (install libbz2-dev and rebuild)"
const char* missing_support_text(Format format);

}  // namespace vantrel::sources
