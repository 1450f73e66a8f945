// Test inputs made on the spot with the compression libraries' own encoders, and tar and zip
// archives laid out byte by byte, so every case says exactly what it feeds the reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sources/recording_reader.hpp"

namespace fixtures {

std::string gzip(std::string_view text);
std::string deflate_raw(std::string_view text);
std::string bzip2(std::string_view text);  // level 1
std::string bzip2_level(std::string_view text, int level);
std::string zstd(std::string_view text);
std::string xz(std::string_view text);
// A zip LZMA member's data: version, properties size, properties, raw LZMA1 with end marker.
std::string zip_lzma(std::string_view text);
std::uint32_t crc32(std::string_view data);

// One tar header block (ustar, checksum filled in) and the data padded to whole blocks.
struct TarEntry {
  std::string name;
  std::string data;
  char type = '0';
  std::string prefix;  // ustar's path prefix
};
std::string tar_entry(const TarEntry& entry);
std::string tar_end();  // the two zero blocks
std::string tar(const std::vector<TarEntry>& entries);

struct ZipEntry {
  std::string name;
  std::string data;  // as stored, already compressed by `method`
  std::uint16_t method = 0;
  std::uint16_t flags = 0;
  std::uint32_t crc = 0;
  std::uint32_t size = 0;       // uncompressed
  std::uint32_t unix_mode = 0;  // 0: made on MS-DOS, no mode
};
// Stored member whose CRC and size are those of `text`.
ZipEntry zip_stored(std::string name, std::string_view text);
std::string zip(const std::vector<ZipEntry>& entries);

// A new file under /tmp holding `bytes`; the caller removes it.
std::string temp_file(const std::string& bytes);

// Keeps every line it is handed.
class Collect final : public vantrel::LineHandler {
 public:
  bool on_line(std::string_view line) override {
    lines.emplace_back(line);
    return true;
  }
  std::vector<std::string> lines;
};

// What one call to next() gave.
struct Read {
  vantrel::sources::RecordingReader::Status status;
  std::string member;
  std::vector<std::string> lines;
  std::string error;
  bool can_continue = false;
  std::string notice;  // of a recording, or with kEnd of a compressed archive as a whole
};

// Calls next() until kEnd (kept only when it comes with a notice), or a failure it cannot go
// on from, with at most `max_calls`.
std::vector<Read> read_all(vantrel::sources::RecordingReader& reader, std::size_t max_calls = 100);
std::vector<Read> read_all(std::string_view bytes, vantrel::sources::Limits limits = {});

// The lines of every recording read whole, in order.
std::vector<std::string> all_lines(const std::vector<Read>& reads);

}  // namespace fixtures
