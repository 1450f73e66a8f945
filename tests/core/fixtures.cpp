#include "fixtures.hpp"

#include <bzlib.h>
#include <lzma.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>
#include <stdexcept>

namespace fixtures {
namespace {

using Status = vantrel::sources::RecordingReader::Status;

std::string zlib_compress(std::string_view text, int window_bits) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&z, text.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

void put_le(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

}  // namespace

std::string gzip(std::string_view text) {
  return zlib_compress(text, 15 + 16);
}
std::string deflate_raw(std::string_view text) {
  return zlib_compress(text, -15);
}

std::string bzip2(std::string_view text) {
  return bzip2_level(text, 1);
}

std::string bzip2_level(std::string_view text, int level) {
  unsigned size = static_cast<unsigned>(text.size() + text.size() / 100 + 600);
  std::string out(size, '\0');
  if (BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(text.data()),
                               static_cast<unsigned>(text.size()), level, 0, 0) != BZ_OK) {
    throw std::runtime_error("BZ2_bzBuffToBuffCompress");
  }
  out.resize(size);
  return out;
}

std::string zstd(std::string_view text) {
  std::string out(ZSTD_compressBound(text.size()), '\0');
  const std::size_t n = ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 3);
  if (ZSTD_isError(n)) throw std::runtime_error("ZSTD_compress");
  out.resize(n);
  return out;
}

std::string xz(std::string_view text) {
  std::string out(lzma_stream_buffer_bound(text.size()), '\0');
  std::size_t pos = 0;
  if (lzma_easy_buffer_encode(
          1, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const std::uint8_t*>(text.data()),
          text.size(), reinterpret_cast<std::uint8_t*>(out.data()), &pos, out.size()) != LZMA_OK) {
    throw std::runtime_error("lzma_easy_buffer_encode");
  }
  out.resize(pos);
  return out;
}

std::string zip_lzma(std::string_view text) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 1);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  std::uint32_t properties_size = 0;
  lzma_properties_size(&properties_size, filters);
  std::string out = std::string("\x10\x02", 2);
  put_le(out, properties_size, 2);
  std::string properties(properties_size, '\0');
  lzma_properties_encode(filters, reinterpret_cast<std::uint8_t*>(properties.data()));
  out += properties;
  std::string body(text.size() + text.size() / 2 + 1024, '\0');
  std::size_t pos = 0;
  if (lzma_raw_buffer_encode(filters, nullptr, reinterpret_cast<const std::uint8_t*>(text.data()),
                             text.size(), reinterpret_cast<std::uint8_t*>(body.data()), &pos,
                             body.size()) != LZMA_OK) {
    throw std::runtime_error("lzma_raw_buffer_encode");
  }
  body.resize(pos);
  return out + body;
}

std::uint32_t crc32(std::string_view data) {
  return static_cast<std::uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string tar_entry(const TarEntry& entry) {
  std::string block(512, '\0');
  std::memcpy(block.data(), entry.name.data(), std::min<std::size_t>(entry.name.size(), 100));
  std::snprintf(block.data() + 100, 8, "%07o", 0644);
  std::snprintf(block.data() + 108, 8, "%07o", 0);
  std::snprintf(block.data() + 116, 8, "%07o", 0);
  std::snprintf(block.data() + 124, 12, "%011zo", entry.data.size());
  std::snprintf(block.data() + 136, 12, "%011o", 0);
  block[156] = entry.type;
  std::memcpy(block.data() + 257,
              "ustar\0"
              "00",
              8);
  std::memcpy(block.data() + 345, entry.prefix.data(),
              std::min<std::size_t>(entry.prefix.size(), 155));
  std::memset(block.data() + 148, ' ', 8);
  unsigned sum = 0;
  for (const char c : block) sum += static_cast<unsigned char>(c);
  std::snprintf(block.data() + 148, 8, "%06o", sum);
  std::string data = entry.data;
  data.resize((data.size() + 511) / 512 * 512, '\0');
  return block + data;
}

std::string tar_end() {
  return std::string(1024, '\0');
}

std::string tar(const std::vector<TarEntry>& entries) {
  std::string out;
  for (const TarEntry& e : entries) out += tar_entry(e);
  return out + tar_end();
}

ZipEntry zip_stored(std::string name, std::string_view text) {
  ZipEntry e;
  e.name = std::move(name);
  e.data = text;
  e.crc = crc32(text);
  e.size = static_cast<std::uint32_t>(text.size());
  return e;
}

std::string zip(const std::vector<ZipEntry>& entries) {
  std::string out;
  std::string directory;
  for (const ZipEntry& e : entries) {
    const std::size_t offset = out.size();
    out += std::string("PK\3\4", 4);
    put_le(out, 20, 2);
    put_le(out, e.flags, 2);
    put_le(out, e.method, 2);
    put_le(out, 0, 4);  // time and date
    put_le(out, e.crc, 4);
    put_le(out, e.data.size(), 4);
    put_le(out, e.size, 4);
    put_le(out, e.name.size(), 2);
    put_le(out, 0, 2);
    out += e.name + e.data;

    directory += std::string("PK\1\2", 4);
    put_le(directory, e.unix_mode ? 0x0314 : 0x0014, 2);  // made by: Unix or MS-DOS
    put_le(directory, 20, 2);
    put_le(directory, e.flags, 2);
    put_le(directory, e.method, 2);
    put_le(directory, 0, 4);
    put_le(directory, e.crc, 4);
    put_le(directory, e.data.size(), 4);
    put_le(directory, e.size, 4);
    put_le(directory, e.name.size(), 2);
    put_le(directory, 0, 2);  // extra
    put_le(directory, 0, 2);  // comment
    put_le(directory, 0, 2);  // disk
    put_le(directory, 0, 2);  // internal attributes
    put_le(directory, std::uint64_t{e.unix_mode} << 16, 4);
    put_le(directory, offset, 4);
    directory += e.name;
  }
  const std::size_t directory_offset = out.size();
  out += directory;
  out += std::string("PK\5\6", 4);
  put_le(out, 0, 4);
  put_le(out, entries.size(), 2);
  put_le(out, entries.size(), 2);
  put_le(out, directory.size(), 4);
  put_le(out, directory_offset, 4);
  put_le(out, 0, 2);
  return out;
}

std::string temp_file(const std::string& bytes) {
  char path[] = "/tmp/vantrel-core-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) throw std::runtime_error("mkstemp");
  const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  if (!written) throw std::runtime_error("write");
  return path;
}

std::vector<Read> read_all(vantrel::sources::RecordingReader& reader, std::size_t max_calls) {
  std::vector<Read> reads;
  for (std::size_t i = 0; i < max_calls; ++i) {
    Collect collect;
    const Status status = reader.next(collect);
    if (status == Status::kEnd && reader.notice().empty()) break;
    reads.push_back({status, reader.member(), std::move(collect.lines),
                     status == Status::kFailed ? reader.error() : "", reader.can_continue(),
                     reader.notice()});
    if (status == Status::kEnd) break;
    if (status != Status::kRecording && !reader.can_continue()) break;
  }
  return reads;
}

std::vector<Read> read_all(std::string_view bytes, vantrel::sources::Limits limits) {
  auto reader = vantrel::sources::RecordingReader::from_memory(bytes, limits);
  return read_all(reader);
}

std::vector<std::string> all_lines(const std::vector<Read>& reads) {
  std::vector<std::string> lines;
  for (const Read& r : reads) {
    if (r.status == Status::kRecording) lines.insert(lines.end(), r.lines.begin(), r.lines.end());
  }
  return lines;
}

}  // namespace fixtures
