// Lone files: plain or compressed, told apart by content, every stream or frame decoded.
#include <doctest/doctest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "fixtures.hpp"

using namespace fixtures;
using vantrel::sources::Limits;
using vantrel::sources::RecordingReader;
using Status = RecordingReader::Status;

namespace {

const std::string kText = "{\"pt\":1}\n\n  {\"pt\":2}  \r\n\t\n{\"pt\":3}";
const std::vector<std::string> kLines = {"{\"pt\":1}", "{\"pt\":2}", "{\"pt\":3}"};

// Enough text to cross every buffer on the way more than once.
std::string many_lines(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "{\"op\":\"mcm\",\"pt\":" + std::to_string(i) + ",\"id\":\"1." +
            std::to_string(i * 7919) + "\"}\n";
  }
  return text;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1) {
    lines.push_back(text.substr(start, lf - start));
  }
  return lines;
}

struct Compression {
  const char* name;
  std::string (*compress)(std::string_view);
  // Damage the decoder must notice before it hands out anything made of it.
  void (*damage)(std::string&);
};

const Compression kCompressions[] = {
    {"gzip", gzip, [](std::string& d) { d[d.size() - 8] ^= 0x55; }},  // the CRC in the trailer
    {"bzip2", bzip2, [](std::string& d) { d[5] ^= 0x55; }},           // the block magic
    {"zstd", zstd, [](std::string& d) { d[4] |= 0x08; }},             // a reserved header bit
    {"xz", xz, [](std::string& d) { d[7] ^= 0x55; }},                 // the stream flags
};

}  // namespace

TEST_CASE("a compressed file is decoded whole, across every stream or frame") {
  const std::string big = many_lines(40000);
  for (const Compression& c : kCompressions) {
    CAPTURE(c.name);
    const auto single = read_all(c.compress(kText));
    REQUIRE(single.size() == 1);
    CHECK(single[0].status == Status::kRecording);
    CHECK(single[0].member.empty());
    CHECK(single[0].lines == kLines);

    // Cuts inside lines: a line may run on from one stream into the next.
    const std::string multi = c.compress(kText.substr(0, 5)) + c.compress(kText.substr(5, 14)) +
                              c.compress(kText.substr(19));
    CHECK(all_lines(read_all(multi)) == kLines);

    CHECK(all_lines(read_all(c.compress(big))) == split_lines(big));
  }
}

namespace {

// Lines that barely compress, so that their gzip file outgrows the reader's first buffer.
std::string scattered_lines(int count) {
  std::string text;
  std::uint64_t x = 12345;
  for (int i = 0; i < count; ++i) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    text += "{\"pt\":" + std::to_string(i) + ",\"id\":\"" + std::to_string(x) + "\"}\n";
  }
  return text;
}

// The lines of the gzip file `bytes`, read from a file, or from a pipe whose size the reader
// cannot know ahead.
std::vector<std::string> read_gzip_file(const std::string& bytes, bool pipe) {
  const std::string unique = temp_file("");
  std::remove(unique.c_str());
  const std::string path = unique + ".gz";  // the name says gzip
  std::thread writer;
  if (pipe) {
    REQUIRE(mkfifo(path.c_str(), 0600) == 0);
    writer = std::thread([&] {
      const int fd = ::open(path.c_str(), O_WRONLY);
      for (std::size_t at = 0; fd >= 0 && at < bytes.size(); at += 10007) {
        if (::write(fd, bytes.data() + at, std::min<std::size_t>(10007, bytes.size() - at)) < 0)
          break;
      }
      ::close(fd);
    });
  } else {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  Collect collect;
  auto reader = RecordingReader::from_file_as(vantrel::sources::format_named_by(path), path);
  const vantrel::ReadResult result = vantrel::sources::read_lone_recording(reader, collect);
  if (writer.joinable()) writer.join();
  std::remove(path.c_str());
  CHECK(result.message == "");
  CHECK(result.status == vantrel::ReadStatus::kOk);
  return collect.lines;
}

}  // namespace

TEST_CASE("a gzip file is read whole, whether its size is known ahead and small or not") {
  for (const int count : {10, 8000}) {
    const std::string text = scattered_lines(count);
    const std::string compressed = gzip(text);
    if (count > 10) REQUIRE(compressed.size() > (std::size_t{64} << 10));
    for (const bool pipe : {false, true}) {
      CAPTURE(count);
      CAPTURE(pipe);
      CHECK(read_gzip_file(compressed, pipe) == split_lines(text));
    }
  }
}

TEST_CASE("zstd skippable frames are passed over") {
  const std::string skippable = std::string("\x50\x2a\x4d\x18\x03\x00\x00\x00xyz", 11);
  CHECK(all_lines(read_all(skippable + zstd(kText))) == kLines);
  CHECK(all_lines(read_all(zstd("{\"pt\":1}\n") + skippable + zstd("{\"pt\":2}"))) ==
        std::vector<std::string>{"{\"pt\":1}", "{\"pt\":2}"});
}

TEST_CASE("truncated and damaged compressed files fail with the format's own text") {
  const std::string big = many_lines(5000);
  for (const Compression& c : kCompressions) {
    CAPTURE(c.name);
    const std::string whole = c.compress(big);
    for (const std::size_t keep : {whole.size() / 2, whole.size() - 1}) {
      CAPTURE(keep);
      const auto reads = read_all(whole.substr(0, keep));
      REQUIRE(reads.size() == 1);
      CHECK(reads[0].status == Status::kFailed);
      CHECK(reads[0].error == std::string("truncated ") + c.name + " data");
      CHECK_FALSE(reads[0].can_continue);
    }
    std::string damaged = c.compress(kText);
    c.damage(damaged);
    const auto reads = read_all(damaged);
    REQUIRE(reads.size() == 1);
    CHECK(reads[0].error == std::string("invalid ") + c.name + " data");
    CHECK(reads[0].lines.empty());
  }
}

TEST_CASE("a plain file is one recording, read from a file as from memory") {
  const std::string path = temp_file(kText);
  auto reader = RecordingReader::from_file(path);
  const auto reads = read_all(reader);
  std::remove(path.c_str());
  REQUIRE(reads.size() == 1);
  CHECK(reads[0].status == Status::kRecording);
  CHECK(reads[0].lines == kLines);
  CHECK(reader.bytes_read() == kText.size());

  const auto empty = read_all("");
  REQUIRE(empty.size() == 1);
  CHECK(empty[0].status == Status::kRecording);
  CHECK(empty[0].lines.empty());

  const auto bad = read_all("{\"pt\":1}\n\xff\n");
  REQUIRE(bad.size() == 1);
  CHECK(bad[0].error == "stream did not contain valid UTF-8");
  CHECK(bad[0].lines == std::vector<std::string>{"{\"pt\":1}"});
}

TEST_CASE("a file that cannot be opened fails on every call, with the system's text") {
  auto reader = RecordingReader::from_file("/nonexistent/vantrel/1.2.bz2");
  const auto reads = read_all(reader);
  REQUIRE(reads.size() == 1);
  CHECK(reads[0].error == "No such file or directory (os error 2)");
  CHECK_FALSE(reads[0].can_continue);
  CHECK(read_all(reader).at(0).status == Status::kFailed);
}

TEST_CASE("the size limit stops a recording that decodes to more, and names the limit") {
  const std::string text = many_lines(100);
  const Limits exact{text.size()};
  CHECK(all_lines(read_all(bzip2(text), exact)) == split_lines(text));
  const auto over = read_all(bzip2(text), Limits{text.size() - 1});
  REQUIRE(over.size() == 1);
  CHECK(over[0].error ==
        "recording is larger than the limit of " + std::to_string(text.size() - 1) + " bytes");
}

TEST_CASE("bytes after gzip or bzip2 data are a notice; zeros and further streams are not") {
  // Zeros that cross the decoder's input buffer before anything else comes.
  const std::string zeros(200000, '\0');
  for (const Compression& c : {kCompressions[0], kCompressions[1]}) {
    CAPTURE(c.name);
    const std::string stream = c.compress(kText);
    const std::string notice = std::string("bytes after the end of the ") + c.name +
                               " data, from byte " + std::to_string(stream.size());
    const struct {
      std::string tail;
      std::string notice;
      std::vector<std::string> lines;
    } cases[] = {
        {"", "", kLines},
        {zeros, "", kLines},
        {"junk", notice, kLines},
        {"\x01", notice, kLines},
        {zeros + "junk", notice, kLines},
        {c.compress("4"), "", {"{\"pt\":1}", "{\"pt\":2}", "{\"pt\":3}4"}},
    };
    for (const auto& k : cases) {
      CAPTURE(k.tail.size());
      const auto reads = read_all(stream + k.tail);
      REQUIRE(reads.size() == 1);
      CHECK(reads[0].status == Status::kRecording);
      CHECK(reads[0].notice == k.notice);
      CHECK(reads[0].lines == k.lines);
    }
    // A whole tar compressed: the notice comes at its end, on the archive itself.
    const std::string archive = c.compress(tar({{"a", kText}}));
    const auto reads = read_all(archive + "junk");
    REQUIRE(reads.size() == 2);
    CHECK(reads[0].notice.empty());
    CHECK(reads[1].status == Status::kEnd);
    CHECK(reads[1].member.empty());
    CHECK(reads[1].notice == std::string("bytes after the end of the ") + c.name +
                                 " data, from byte " + std::to_string(archive.size()));
  }
  // Their formats leave nothing after the data unread: junk fails them, as it always has.
  for (const Compression& c : {kCompressions[2], kCompressions[3]}) {
    CAPTURE(c.name);
    CHECK(read_all(c.compress(kText) + "junk")[0].status == Status::kFailed);
  }
}
