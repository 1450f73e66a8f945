// Files taken to be what their name says, as iter_prices_file reads them: through the same reader
// as the package, but with no look at the content and with that module's own error texts.
#include <doctest/doctest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "fixtures.hpp"

using namespace fixtures;
using vantrel::ReadResult;
using vantrel::ReadStatus;
using vantrel::sources::Format;
using vantrel::sources::RecordingReader;

namespace {

using Lines = std::vector<std::string>;

const std::string kText = "{\"pt\":1}\n{\"pt\":2}\n";
const Lines kLines = {"{\"pt\":1}", "{\"pt\":2}"};

struct Outcome {
  Lines lines;
  std::string error;  // "" when the read ended well
};

Outcome read_as(Format format, const std::string& bytes) {
  Collect collect;
  const ReadResult result = vantrel::sources::read_buffer_lines(bytes, format, collect);
  CHECK(result.status != ReadStatus::kStopped);
  return {collect.lines, result.message};
}

// A gzip member whose header carries a name of `length` bytes.
std::string gzip_named(std::size_t length) {
  std::string member = gzip(kText);
  member[3] |= 0x08;
  return member.substr(0, 10) + std::string(length, 'n') + '\0' + member.substr(10);
}

std::string flipped(std::string bytes, std::size_t at_end) {
  bytes[bytes.size() - at_end] ^= 0x55;
  return bytes;
}

}  // namespace

TEST_CASE("content is never looked at: each fault reads as iter_prices_file has always named it") {
  const std::string gz = gzip(kText);
  const std::string bz2 = bzip2(kText);
  struct Case {
    const char* what;
    Format format;
    std::string bytes;
    Outcome expected;
  };
  const Case cases[] = {
      {"gzip", Format::kGzip, gz, {kLines, ""}},
      {"members and junk after them",
       Format::kGzip,
       gzip("{\"pt\":1}") + gzip("\n{\"pt\":2}\n") + "junk",
       {kLines, ""}},
      {"plain text named gzip", Format::kGzip, kText, {{}, "invalid gzip header"}},
      {"bzip2 named gzip", Format::kGzip, bz2, {{}, "invalid gzip header"}},
      {"gzip not named so", Format::kPlain, gz, {{}, "stream did not contain valid UTF-8"}},
      {"bzip2 not named so", Format::kPlain, bz2, {{}, "stream did not contain valid UTF-8"}},
      {"an empty file named gzip", Format::kGzip, "", {{}, "unexpected end of file"}},
      {"an empty file", Format::kPlain, "", {{}, ""}},
      {"the magic alone", Format::kGzip, gz.substr(0, 2), {{}, "unexpected end of file"}},
      {"cut in the data",
       Format::kGzip,
       gz.substr(0, gz.size() / 2),
       {{}, "unexpected end of file"}},
      {"cut in the trailer",
       Format::kGzip,
       gz.substr(0, gz.size() - 3),
       {kLines, "unexpected end of file"}},
      {"a damaged checksum",
       Format::kGzip,
       flipped(gz, 8),
       {kLines, "corrupt gzip stream does not have a matching checksum"}},
      {"a damaged length",
       Format::kGzip,
       flipped(gz, 1),
       {kLines, "corrupt gzip stream does not have a matching checksum"}},
      {"a reserved block type",
       Format::kGzip,
       gz.substr(0, 10) + std::string(16, '\xff'),
       {{}, "corrupt deflate stream"}},
      {"the longest header name", Format::kGzip, gzip_named(65535), {kLines, ""}},
      {"a header name too long",
       Format::kGzip,
       gzip_named(65536),
       {{}, "gzip header field too long"}},
      // A byte-order mark is no part of JSON, and iter_prices_file has always said so.
      {"a byte-order mark",
       Format::kPlain,
       "\xef\xbb\xbf" + kText,
       {{"\xef\xbb\xbf{\"pt\":1}", "{\"pt\":2}"}, ""}},
      // An archive is text like any other: a tar's first header field is a line of its own.
      {"a tar",
       Format::kPlain,
       tar({{"a.json", kText}}).substr(0, 100),
       {{"a.json" + std::string(94, '\0')}, ""}},
  };
  for (const Case& c : cases) {
    CAPTURE(c.what);
    const Outcome got = read_as(c.format, c.bytes);
    CHECK(got.error == c.expected.error);
    CHECK(got.lines == c.expected.lines);
  }
}

TEST_CASE("the package reads the same damaged files by content, with texts of its own") {
  const std::string gz = gzip(kText);
  const std::pair<std::string, std::string> cases[] = {
      {gz.substr(0, gz.size() / 2), "truncated gzip data"},
      {flipped(gz, 8), "invalid gzip data"},
  };
  for (const auto& [bytes, package_text] : cases) {
    const auto reads = read_all(bytes);
    REQUIRE(reads.size() == 1);
    CHECK(reads[0].error == package_text);
    CHECK(read_as(Format::kGzip, bytes).error != package_text);
  }
}

TEST_CASE("a name says gzip by its last component's extension alone") {
  const std::pair<const char*, Format> cases[] = {
      {"1.2.gz", Format::kGzip},   {"a/b/1.2.gzip", Format::kGzip}, {"1.2.json.gz", Format::kGzip},
      {"1.2.gz/", Format::kGzip},  {"1.2.gz/.", Format::kGzip},     {"1.2.gz//./", Format::kGzip},
      {"1.2.GZ", Format::kPlain},  {"1.2.tgz", Format::kPlain},     {"1.2.gz.json", Format::kPlain},
      {".gz", Format::kPlain},     {"a/.gz", Format::kPlain},       {"d.gz/1.2", Format::kPlain},
      {"d.gz/..", Format::kPlain}, {"1.2", Format::kPlain},         {"", Format::kPlain},
  };
  for (const auto& [path, format] : cases) {
    CAPTURE(path);
    CHECK(vantrel::sources::format_named_by(path) == format);
  }
}

TEST_CASE("a file taken by its name: the system's texts, and a wait that asks the handler") {
  SUBCASE("missing, or a directory") {
    Collect collect;
    auto missing = RecordingReader::from_file_as(Format::kGzip, "/nonexistent/vantrel/1.2.gz");
    CHECK(vantrel::sources::read_lone_recording(missing, collect).message ==
          "No such file or directory (os error 2)");
    auto directory = RecordingReader::from_file_as(Format::kGzip, "/tmp");
    CHECK(vantrel::sources::read_lone_recording(directory, collect).message ==
          "Is a directory (os error 21)");
  }

  SUBCASE("a pipe whose writer falls silent: the handler's stop ends the wait") {
    const std::string unique = temp_file("");
    std::remove(unique.c_str());
    const std::string path = unique + ".json";
    REQUIRE(mkfifo(path.c_str(), 0600) == 0);
    std::atomic<bool> done{false};
    // Silent until the read is over, or long enough that a wait which never asks shows as a
    // read that ended well instead of a hang.
    std::thread writer([&] {
      const int fd = ::open(path.c_str(), O_WRONLY);
      if (fd >= 0 && ::write(fd, kText.data(), kText.size()) >= 0) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done && std::chrono::steady_clock::now() < give_up) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
      ::close(fd);
    });
    // Stops once it has its lines, which only a wait for more can ask it about: the text is
    // far below the few MB between polls.
    struct StopWhenHeld final : vantrel::LineHandler {
      bool on_line(std::string_view line) override {
        lines.emplace_back(line);
        return true;
      }
      bool keep_going() override { return lines.size() < kLines.size(); }
      Lines lines;
    } handler;
    auto reader = RecordingReader::from_file_as(Format::kPlain, path);
    const ReadResult result = vantrel::sources::read_lone_recording(reader, handler);
    done = true;
    writer.join();
    std::remove(path.c_str());
    CHECK(result.status == ReadStatus::kStopped);
    CHECK(result.message.empty());
    CHECK(handler.lines == kLines);
  }
}
