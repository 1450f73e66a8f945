// Tar and zip archives: which members are recordings, in what order, under what names, and
// how far a reader gets past a bad member.
#include <doctest/doctest.h>

#include <cstdio>

#include "fixtures.hpp"
#include "sources/tar_index.hpp"

using namespace fixtures;
using vantrel::sources::Limits;
using vantrel::sources::RecordingReader;
using Status = RecordingReader::Status;

namespace {

using Lines = std::vector<std::string>;

std::string pax_record(const std::string& key, const std::string& value) {
  const std::string body = " " + key + "=" + value + "\n";
  std::size_t length = body.size() + 1;
  while (std::to_string(length).size() + body.size() != length) ++length;
  return std::to_string(length) + body;
}

// Member names and lines of the recordings read whole; failures as "!<error>".
std::vector<std::string> summary(const std::vector<Read>& reads) {
  std::vector<std::string> out;
  for (const Read& r : reads) {
    if (r.status == Status::kRecording) {
      std::string joined;
      for (const std::string& line : r.lines) joined += line + ";";
      out.push_back(r.member + ":" + joined);
    } else {
      out.push_back(r.member + "!" + r.error);
    }
  }
  return out;
}

// The shape of the exchange's historic data: folders by date and event, one bzip2 file per
// market, with every kind of entry that is not a recording mixed in.
std::string historic_tar() {
  const std::string long_name = "PRO/2021/Mar/4/30512345/" + std::string(120, 'n') + "/1.100.bz2";
  return tar({
      {"PRO/2021/Mar/4/", "", '5'},
      {"1.1.bz2", bzip2("{\"a\":1}\n{\"a\":2}\n"), '0', "PRO/2021/Mar/4/30512345"},
      {"link", "", '2'},
      {"hard", "", '1'},
      {"fifo", "", '6'},
      {"././@LongLink", long_name + '\0', 'L'},
      {"truncated-name", bzip2("{\"b\":1}"), '0'},
      {"PaxHeader", pax_record("comment", "x") + pax_record("path", "pax/\xc3\xa9t\xc3\xa9.json"),
       'x'},
      {"short", "{\"c\":1}\n", '0'},
      {"GlobalHead", pax_record("comment", "global"), 'g'},
      {"plain", "{\"d\":1}", '\0'},
  });
}

const std::vector<std::string> kHistoric = {
    "PRO/2021/Mar/4/30512345/1.1.bz2:{\"a\":1};{\"a\":2};",
    "PRO/2021/Mar/4/30512345/" + std::string(120, 'n') + "/1.100.bz2:{\"b\":1};",
    "pax/\xc3\xa9t\xc3\xa9.json:{\"c\":1};",
    "plain:{\"d\":1};",
};

}  // namespace

TEST_CASE("tar: regular members are recordings in archive order; other entries are passed over") {
  CHECK(summary(read_all(historic_tar())) == kHistoric);
  // The archive compressed as a whole is read as a stream all the same.
  for (auto compress : {gzip, bzip2, zstd, xz})
    CHECK(summary(read_all(compress(historic_tar()))) == kHistoric);

  const std::string path = temp_file(bzip2(historic_tar()));
  auto reader = RecordingReader::from_file(path);
  CHECK(summary(read_all(reader)) == kHistoric);
  CHECK(reader.bytes_read() == bzip2(historic_tar()).size());
  std::remove(path.c_str());
}

TEST_CASE("tar: a member larger than every buffer streams through whole") {
  std::string big;
  for (int i = 0; i < 50000; ++i) big += "{\"pt\":" + std::to_string(i) + "}\n";
  const std::string archive = tar({{"big", big}, {"after", "{\"z\":1}"}});
  for (const std::string& input : {archive, zstd(archive), gzip(archive)}) {
    const auto reads = read_all(input);
    REQUIRE(reads.size() == 2);
    CHECK(reads[0].lines.size() == 50000);
    CHECK(reads[0].lines.back() == "{\"pt\":49999}");
    CHECK(reads[1].lines == Lines{"{\"z\":1}"});
  }
}

TEST_CASE("zip: stored, deflate, bzip2 and lzma members; directories and links passed over") {
  const std::string text = "{\"m\":1}\n{\"m\":2}";
  auto compressed = [&](std::string name, std::uint16_t method, std::string data) {
    ZipEntry e = zip_stored(std::move(name), text);
    e.method = method;
    e.data = std::move(data);
    return e;
  };
  ZipEntry dir = zip_stored("2021/", "");
  ZipEntry link = zip_stored("2021/link", "target");
  link.unix_mode = 0120777;
  ZipEntry unix_file = zip_stored("2021/unix", "{\"u\":1}");
  unix_file.unix_mode = 0100644;
  const std::string archive = zip({
      dir,
      zip_stored("2021/stored", text),
      compressed("2021/deflate", 8, deflate_raw(text)),
      link,
      compressed("2021/bzip2", 12, bzip2(text)),
      compressed("2021/lzma", 14, zip_lzma(text)),
      zip_stored("2021/1.5.gz", gzip(text)),  // its content is gzip: decoded as such
      unix_file,
  });
  const std::vector<std::string> expected = {
      "2021/stored:{\"m\":1};{\"m\":2};", "2021/deflate:{\"m\":1};{\"m\":2};",
      "2021/bzip2:{\"m\":1};{\"m\":2};",  "2021/lzma:{\"m\":1};{\"m\":2};",
      "2021/1.5.gz:{\"m\":1};{\"m\":2};", "2021/unix:{\"u\":1};",
  };
  CHECK(summary(read_all(archive)) == expected);

  const std::string path = temp_file(archive);
  auto reader = RecordingReader::from_file(path);
  CHECK(summary(read_all(reader)) == expected);
  std::remove(path.c_str());
}

TEST_CASE("zip: members that cannot be decoded fail alone, and the next ones are read") {
  ZipEntry encrypted = zip_stored("encrypted", "{}");
  encrypted.flags = 1;
  ZipEntry unknown = zip_stored("unknown", "{}");
  unknown.method = 99;
  ZipEntry bad_crc = zip_stored("bad-crc", "{\"x\":1}");
  bad_crc.crc ^= 1;
  ZipEntry bad_deflate = zip_stored("bad-deflate", "{}");
  bad_deflate.method = 8;
  bad_deflate.data = "\xff\xff\xff\xff";
  const auto reads =
      read_all(zip({encrypted, unknown, bad_crc, bad_deflate, zip_stored("ok", "{}")}));
  CHECK(summary(reads) == std::vector<std::string>{
                              "encrypted!encrypted zip member is not supported",
                              "unknown!unsupported zip compression method 99",
                              "bad-crc!zip member does not match its recorded size and checksum",
                              "bad-deflate!invalid deflate data",
                              "ok:{};",
                          });
  for (std::size_t i = 0; i + 1 < reads.size(); ++i) CHECK(reads[i].can_continue);
}

TEST_CASE("zip: a damaged directory fails the whole archive") {
  const std::string archive = zip({zip_stored("a", "{}"), zip_stored("b", "{}")});
  const std::size_t directory = archive.find("PK\1\2");
  std::string cut = archive.substr(0, directory + 30);
  std::string pointing_past = archive;
  pointing_past[archive.size() - 6] = 0x7f;  // directory offset beyond the end record
  std::string bad_entry = archive;
  bad_entry[directory + 2] = 9;
  for (const auto& [input, error] :
       {std::pair{cut, "truncated zip archive"}, std::pair{pointing_past, "invalid zip archive"},
        std::pair{bad_entry, "invalid zip archive"}}) {
    const auto reads = read_all(input);
    REQUIRE(reads.size() == 1);
    CHECK(reads[0].error == error);
    CHECK(reads[0].member.empty());
    CHECK_FALSE(reads[0].can_continue);
  }
}

TEST_CASE("empty archives hold no recordings and are no error") {
  CHECK(read_all(tar_end()).empty());
  CHECK(read_all(gzip(tar_end())).empty());
  CHECK(read_all(zip({})).empty());
  CHECK(read_all(tar({{"dir/", "", '5'}})).empty());
}

TEST_CASE("an archive inside an archive is refused, and the walk goes on") {
  const std::string inner_tar = tar({{"x", "{}"}});
  const std::string inner_zip = zip({zip_stored("x", "{}")});
  const std::string expected_error = "archive inside an archive is not opened";
  const auto from_tar = read_all(tar(
      {{"a.tar", inner_tar}, {"b.tar.gz", gzip(inner_tar)}, {"c.zip", inner_zip}, {"d", "{}"}}));
  const auto from_zip =
      read_all(zip({zip_stored("a.tar.xz", xz(inner_tar)), zip_stored("d", "{}")}));
  CHECK(summary(from_tar) == std::vector<std::string>{"a.tar!" + expected_error,
                                                      "b.tar.gz!" + expected_error,
                                                      "c.zip!" + expected_error, "d:{};"});
  CHECK(summary(from_zip) == std::vector<std::string>{"a.tar.xz!" + expected_error, "d:{};"});
  CHECK(read_all(gzip(inner_zip)).at(0).error ==
        "zip archive inside a compressed file is not opened");
}

TEST_CASE("a bad member fails alone; damage to the archive itself ends the walk") {
  std::string corrupt = bzip2("{\"x\":1}");
  corrupt[5] ^= 0x55;
  const std::string archive = tar({{"bad.bz2", corrupt},
                                   {"bad-utf8", "\xff\n"},
                                   {"cut.xz", xz("{}").substr(0, 10)},
                                   {"good", "{\"g\":1}"}});
  const auto reads = read_all(bzip2(archive));
  CHECK(summary(reads) == std::vector<std::string>{"bad.bz2!invalid bzip2 data",
                                                   "bad-utf8!stream did not contain valid UTF-8",
                                                   "cut.xz!truncated xz data", "good:{\"g\":1};"});
  for (std::size_t i = 0; i < 3; ++i) CHECK(reads[i].can_continue);

  // Cut inside the second member's data.
  const std::string two = tar({{"a", "{\"a\":1}"}, {"b", std::string(600, 'b')}});
  for (const auto& [input, error] :
       {std::pair{two.substr(0, 1024 + 512 + 100), "truncated tar archive"},
        std::pair{bzip2(two).substr(0, 60), "truncated bzip2 data"}}) {
    const auto broken = read_all(input);
    REQUIRE_FALSE(broken.empty());
    CHECK(broken.back().status == Status::kFailed);
    CHECK(broken.back().error == error);
    CHECK_FALSE(broken.back().can_continue);
  }
}

TEST_CASE("a damaged header loses its own member only, plain or compressed") {
  // The middle member's header checksum is wrong: its data's length is unknown, so the reader
  // looks for the next header block, past the data (which holds a block that is no header).
  const std::string three =
      tar({{"a", "{\"a\":1}"}, {"b", std::string(600, 'b') + "{\"b\":1}"}, {"c", "{\"c\":1}"}});
  std::string bad = three;
  bad[1024 + 10] ^= 1;
  const std::vector<std::string> expected{
      "a:{\"a\":1};", "!invalid tar header: the member it began is lost", "c:{\"c\":1};"};
  for (const std::string& input : {bad, bzip2(bad)}) {
    const auto reads = read_all(input);
    CHECK(summary(reads) == expected);
    REQUIRE(reads.size() == 3);
    CHECK(reads[1].can_continue);
  }
  // Damage with no header after it ends the archive there, after naming it.
  std::string last = three;
  last[1024 + 512 + 1024 + 10] ^= 1;  // a's header and data, b's header and two data blocks
  CHECK(summary(read_all(last)) ==
        std::vector<std::string>{"a:{\"a\":1};", "b:" + std::string(600, 'b') + "{\"b\":1};",
                                 "!invalid tar header: the member it began is lost"});
}

TEST_CASE("the size limit applies to each member, declared or decoded") {
  const std::string text(100, 'x');
  const Limits limit{50};
  const std::string expected = "recording is larger than the limit of 50 bytes";
  CHECK(summary(read_all(tar({{"big", text}, {"small", "{}"}}), limit)) ==
        std::vector<std::string>{"big!" + expected, "small:{};"});
  CHECK(summary(read_all(tar({{"big.zst", zstd(text)}, {"small", "{}"}}), limit)) ==
        std::vector<std::string>{"big.zst!" + expected, "small:{};"});
  // Declared too large: refused before decoding, so its broken data never comes to light.
  ZipEntry declared = zip_stored("declared", "{}");
  declared.method = 8;
  declared.data = "\xff\xff";
  declared.size = 51;
  CHECK(summary(read_all(zip({declared, zip_stored("small", "{}")}), limit)) ==
        std::vector<std::string>{"declared!" + expected, "small:{};"});
}

TEST_CASE("a handler that stops ends the call; the next call goes on with the next member") {
  class StopOnSecond final : public vantrel::LineHandler {
   public:
    bool on_line(std::string_view line) override {
      seen.emplace_back(line);
      return seen.size() != 2;
    }
    Lines seen;
  };
  const std::string archive = tar({{"a", "{\"a\":1}\n{\"a\":2}\n{\"a\":3}"}, {"b", "{\"b\":1}"}});
  auto reader = RecordingReader::from_memory(archive);
  StopOnSecond handler;
  CHECK(reader.next(handler) == Status::kStopped);
  CHECK(reader.member() == "a");
  CHECK(reader.can_continue());
  CHECK(reader.next(handler) == Status::kRecording);
  CHECK(reader.member() == "b");
  CHECK(handler.seen == Lines{"{\"a\":1}", "{\"a\":2}", "{\"b\":1}"});
  CHECK(reader.next(handler) == Status::kEnd);
}

TEST_CASE("zero blocks end a tar only with nothing but zeros after them") {
  const std::string one = tar({{"a", "{\"a\":1}"}});
  // The end blocks, any padding after them, or none at all.
  for (const std::string& input : {one, one.substr(0, one.size() - 1024),
                                   one + std::string(20 * 512, '\0'), one + std::string(3, '\0')}) {
    CHECK(summary(read_all(input)) == std::vector<std::string>{"a:{\"a\":1};"});
  }
  // Zeros with data after them: a second archive behind the first one's end blocks, a
  // recording whose first block was wiped. The damage is named, and a member after it is still
  // read.
  const auto zeroed = [](std::size_t at) {
    return "!zeroed block at byte " + std::to_string(at) +
           " with data after it: a damaged archive or recording, not the end of a tar";
  };
  CHECK(summary(read_all(one + tar({{"b", "{}"}}))) ==
        std::vector<std::string>{"a:{\"a\":1};", zeroed(one.size() - 1024), "b:{};"});
  const std::string wiped = std::string(512, '\0') + std::string(600, 'x') + "\n{\"b\":1}\n";
  for (const std::string& input : {wiped, gzip(wiped)}) {
    CHECK(summary(read_all(input)) == std::vector<std::string>{zeroed(0)});
  }
  // A wiped header in the middle: its member is lost, the next one is not.
  std::string three = tar({{"a", "{\"a\":1}"}, {"b", "{\"b\":1}"}, {"c", "{\"c\":1}"}});
  std::fill_n(three.begin() + 1024, 512, '\0');
  CHECK(summary(read_all(three)) ==
        std::vector<std::string>{"a:{\"a\":1};", zeroed(1024), "c:{\"c\":1};"});
}

TEST_CASE("a plain tar's index: each member's walk starts where reading on from it agrees") {
  using vantrel::sources::index_plain_tar;
  using vantrel::sources::TarIndexEntry;
  using vantrel::sources::TarIndexStatus;
  const std::string archive = historic_tar();
  std::vector<TarIndexEntry> entries;
  std::string error;
  REQUIRE(index_plain_tar(temp_file(archive), entries, error) == TarIndexStatus::kIndexed);
  REQUIRE(entries.size() == kHistoric.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    // The bytes from a member's walk start on read as the archive's members from it on.
    const auto reads = read_all(archive.substr(entries[i].start));
    CHECK(summary(reads) == std::vector<std::string>(kHistoric.begin() + i, kHistoric.end()));
    CHECK(entries[i].path == kHistoric[i].substr(0, kHistoric[i].find(':')));
  }
  CHECK(entries[0].start == 0);
  CHECK(index_plain_tar(temp_file(bzip2(archive)), entries, error) == TarIndexStatus::kNotPlainTar);
  CHECK(index_plain_tar(temp_file(archive.substr(0, 2000)), entries, error) ==
        TarIndexStatus::kFailed);
  CHECK(error == "truncated tar archive");
}

TEST_CASE("an archive file splits into members only when a walk of it meets no damage") {
  std::vector<fixtures::TarEntry> members;
  for (int i = 0; i < 4; ++i) members.push_back({"m" + std::to_string(i), "{\"op\":\"mcm\"}\n"});
  const std::string tar = fixtures::tar(members);
  const std::string zip =
      fixtures::zip({fixtures::zip_stored("a", "{}\n"), fixtures::zip_stored("b", "{}\n")});
  struct Case {
    std::string bytes;
    std::size_t members;  // 0: not split
  };
  for (const Case& c : {Case{tar, 4}, Case{zip, 2}, Case{tar.substr(0, 3 * 1024 + 512 + 5), 0},
                        Case{fixtures::gzip(tar), 0}, Case{"{}\n", 0}}) {
    const std::string path = fixtures::temp_file(c.bytes);
    std::vector<vantrel::sources::ArchiveMember> split;
    CHECK(vantrel::sources::split_archive(path, split) == (c.members != 0));
    REQUIRE(split.size() == c.members);
    for (std::size_t i = 0; i < split.size(); ++i) {
      auto reader = vantrel::sources::RecordingReader::from_member(path, split[i]);
      const std::vector<fixtures::Read> reads = fixtures::read_all(reader, 1);
      REQUIRE(reads.size() == 1);
      CHECK(reads[0].status == vantrel::sources::RecordingReader::Status::kRecording);
      CHECK(reads[0].member == split[i].path);
    }
    std::remove(path.c_str());
  }
}
