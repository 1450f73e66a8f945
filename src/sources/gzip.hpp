// Gzip members (RFC 1952), decoded as their input comes in.
//
// The header and trailer are parsed here so that every failure is one of a few named faults; the
// raw DEFLATE data goes to ISA-L's igzip when built with VANTREL_USE_ISAL, else to zlib. Text is
// handed on as it is inflated, so a reader sees all text of a member before that member's
// checksum is judged.
#pragma once

#include <memory>

#include "sources/codec.hpp"

namespace vantrel::sources::gzip {

// What a failed gzip file came to, finer than the codec's kInvalid and kTruncated.
enum class Fault {
  kNone,
  kInvalidHeader,
  kHeaderFieldTooLong,
  kCorruptDeflate,
  kChecksumMismatch,
  kUnexpectedEof,
};

// The codec of make_gzip_codec() that also keeps, in `fault`, what its failure came of: for a
// reader that names each fault in words of its own. `fault` must outlive the codec.
std::unique_ptr<Codec> make_codec(Fault& fault);

}  // namespace vantrel::sources::gzip
