// Zip archives, read through their central directory: the index at the end of the file says
// where every member is, so the input is read at offsets rather than front to back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sources/byte_stream.hpp"

namespace vantrel::sources {

struct ZipEntry {
  std::string path;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t size = 0;
  std::uint64_t header_offset = 0;
  // Its bytes overlap those of an entry before it in the file. No writer makes such archives;
  // they are how a small file is made to decode to an enormous one, so the entry is refused.
  bool overlaps = false;
};

// The regular files of the archive, in directory order; directories and symbolic links are
// left out. False, with `error` set, when the directory cannot be read.
bool read_zip_directory(Input& input, std::vector<ZipEntry>& entries, std::string& error);

// One member's data, decoded by the member's compression method and checked against its
// recorded size and CRC-32.
class ZipMemberStream {
 public:
  // False, with `error` set, when the member cannot be decoded (encrypted, an unknown method,
  // a broken local header).
  bool open(Input& input, const ZipEntry& entry, std::string& error);
  ByteStream& stream() { return *checked_; }
  // Where the member's stored (compressed) data begins in the input: past its local header.
  std::uint64_t data_offset() const { return data_offset_; }

 private:
  std::unique_ptr<RangeStream> raw_;
  std::unique_ptr<DecodingStream> decoded_;
  std::unique_ptr<CheckedStream> checked_;
  std::uint64_t data_offset_ = 0;
};

}  // namespace vantrel::sources
