// Gzip members (RFC 1952) decoded from memory into a caller-owned window.
//
// The header and trailer are parsed here so that every failure maps onto one of a few fixed
// texts; the raw DEFLATE data goes to ISA-L's igzip when built with VANTREL_USE_ISAL, else to
// zlib. Output is pushed to the sink as it is produced, so the sink sees all text of a member
// before that member's checksum is judged.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "sources/output_sink.hpp"

namespace vantrel::sources::gzip {

enum class Status {
  kOk,
  kSinkStopped,
  kInvalidHeader,
  kHeaderFieldTooLong,
  kCorruptDeflate,
  kChecksumMismatch,
  kUnexpectedEof,
};

// The text Python sees for a failed status.
const char* status_text(Status status);

// Decodes the first member and every following member that starts with the gzip magic;
// anything else after a complete member is ignored.
Status decode_members(std::string_view input, OutputSink& sink);

}  // namespace vantrel::sources::gzip
