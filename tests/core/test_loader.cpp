// The loader runs ahead of the replay through small recordings only: however long the caller
// takes, the outcomes it holds stay within their count and text bounds, and they come out in
// input order, a failure in its place.
#include <doctest/doctest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.hpp"
#include "replay/background_loader.hpp"

using vantrel::replay::BackgroundLoader;
using vantrel::replay::LoaderInput;
using vantrel::replay::LoadOutcome;

namespace {

std::string recording(int id, std::size_t lines) {
  std::string text;
  for (std::size_t i = 0; i < lines; ++i) {
    text += R"({"op":"mcm","pt":)" + std::to_string(1000 + i) + R"(,"mc":[{"id":"1.)" +
            std::to_string(id) + R"(","rc":[{"id":1,"atb":[[1.5,)" + std::to_string(i) +
            "]]}]}]}\n";
  }
  return text;
}

// Waits until the loader's worker has stopped for want of room or input.
void settle(const BackgroundLoader& loader) {
  for (int i = 0; i < 2000 && loader.working(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  REQUIRE_FALSE(loader.working());
}

std::vector<LoadOutcome> take_all(BackgroundLoader& loader) {
  std::vector<LoadOutcome> outcomes;
  while (auto outcome = loader.take(std::chrono::milliseconds(2000))) {
    outcomes.push_back(std::move(*outcome));
  }
  return outcomes;
}

}  // namespace

TEST_CASE("small recordings are loaded ahead up to the count, and come out in order") {
  std::vector<fixtures::TarEntry> entries;
  for (int i = 0; i < 10; ++i) {
    entries.push_back({"m" + std::to_string(i), i == 6 ? fixtures::bzip2("x") : recording(i, 50)});
  }
  const std::string tar = fixtures::tar(entries);
  BackgroundLoader loader({});
  loader.add(LoaderInput{LoaderInput::Kind::kMemory, {}, tar});
  settle(loader);
  CHECK(loader.ready_count() == BackgroundLoader::kAheadCount);
  const std::vector<LoadOutcome> outcomes = take_all(loader);
  REQUIRE(outcomes.size() == 10);
  for (int i = 0; i < 10; ++i) {
    CAPTURE(i);
    CHECK(outcomes[i].member == "m" + std::to_string(i));
    CHECK(outcomes[i].kind ==
          (i == 6 ? LoadOutcome::Kind::kFailed : LoadOutcome::Kind::kRecording));
  }
  CHECK(loader.idle());
}

TEST_CASE("past one recording ahead, the loader stops once those held reach the text bound") {
  // Each recording holds a third of the bound: one ahead always, then two more while the
  // held text stays under it, and no more.
  const std::size_t lines = BackgroundLoader::kAheadTextBytes / 3 / recording(1, 1).size() + 1;
  std::vector<fixtures::TarEntry> entries;
  for (int i = 0; i < 6; ++i) entries.push_back({"m" + std::to_string(i), recording(i, lines)});
  const std::string tar = fixtures::tar(entries);
  BackgroundLoader loader({});
  loader.add(LoaderInput{LoaderInput::Kind::kMemory, {}, tar});
  settle(loader);
  CHECK(loader.ready_count() == 3);
  auto first = loader.take(std::chrono::milliseconds(2000));
  REQUIRE(first);
  CHECK(first->member == "m0");
  settle(loader);
  CHECK(loader.ready_count() == 3);
  const std::vector<LoadOutcome> rest = take_all(loader);
  REQUIRE(rest.size() == 5);
  CHECK(rest.back().member == "m5");
}

TEST_CASE("bytes cut from a file tell their recordings' places in that file") {
  const std::string tar = fixtures::tar({{"m0", recording(0, 5)}, {"m1", recording(1, 5)}});
  BackgroundLoader in_memory({});
  in_memory.add(LoaderInput{LoaderInput::Kind::kMemory, {}, tar, std::nullopt});
  const std::vector<LoadOutcome> alone = take_all(in_memory);
  BackgroundLoader cut({});
  cut.add(LoaderInput{LoaderInput::Kind::kMemory, {}, tar, std::uint64_t{10240}});
  const std::vector<LoadOutcome> outcomes = take_all(cut);
  REQUIRE(alone.size() == 2);
  REQUIRE(outcomes.size() == 2);
  for (std::size_t i = 0; i < 2; ++i) {
    CHECK_FALSE(alone[i].stored);
    REQUIRE(outcomes[i].stored);
    CHECK(outcomes[i].stored->size == recording(static_cast<int>(i), 5).size());
    CHECK(tar.substr(outcomes[i].stored->offset - 10240, outcomes[i].stored->size) ==
          recording(static_cast<int>(i), 5));
  }
}

namespace {

// What a caller can see of an outcome, to compare runs with different worker counts.
std::string shown(const LoadOutcome& o) {
  std::string text = std::to_string(o.input) + " kind " + std::to_string(static_cast<int>(o.kind)) +
                     " member '" + o.member + "' error '" + o.error + "' text " +
                     std::to_string(o.text_bytes) + " messages " +
                     std::to_string(o.store ? o.store->size() : 0);
  if (o.stored) {
    text += " at " + std::to_string(o.stored->offset) + "+" + std::to_string(o.stored->size);
  }
  return text;
}

std::vector<std::string> load_all(const std::vector<LoaderInput>& inputs, std::size_t threads) {
  BackgroundLoader loader({.max_recording_bytes = 1 << 20}, nullptr,
                          vantrel::replay::EarlyJudge::Until::kDecided, threads);
  for (const LoaderInput& input : inputs) loader.add(input);
  std::vector<std::string> seen;
  for (const LoadOutcome& o : take_all(loader)) seen.push_back(shown(o));
  CHECK(loader.idle());
  return seen;
}

}  // namespace

TEST_CASE("several workers give what one gives, in the same order: archives split or not") {
  std::vector<fixtures::TarEntry> members;
  for (int i = 0; i < 12; ++i) {
    std::string data = fixtures::bzip2(recording(i, 20 + 40 * i));
    if (i == 3) data = fixtures::bzip2("x");                         // not a recording
    if (i == 5) data = data.substr(0, data.size() / 2);              // truncated bzip2
    if (i == 7) data = fixtures::tar({{"inner", recording(7, 3)}});  // an archive inside
    if (i == 9) data = recording(9, 30000);                          // past the size limit
    members.push_back({"PRO/e/1." + std::to_string(100 + i) + ".bz2", data});
  }
  const std::string tar = fixtures::tar(members);
  std::vector<fixtures::ZipEntry> zipped;
  for (int i = 0; i < 6; ++i)
    zipped.push_back(fixtures::zip_stored("z" + std::to_string(i), recording(i, 30)));
  zipped[2].data = "not what the directory says";
  const std::string tar_path = fixtures::temp_file(tar);
  const std::string zip_path = fixtures::temp_file(fixtures::zip(zipped));
  // A tar cut short in a member: its damage ends it where it ends a walk of the whole file.
  const std::string cut_path = fixtures::temp_file(tar.substr(0, tar.size() * 2 / 3));
  const std::string gz_tar_path = fixtures::temp_file(fixtures::gzip(tar));
  const std::string lone_path = fixtures::temp_file(fixtures::bzip2(recording(50, 100)));
  using Kind = LoaderInput::Kind;
  const std::vector<LoaderInput> inputs = {
      {Kind::kFile, tar_path, {}},    {Kind::kFailure, "known beforehand", {}},
      {Kind::kFile, zip_path, {}},    {Kind::kFile, "/nonexistent/vantrel/file", {}},
      {Kind::kFile, cut_path, {}},    {Kind::kMemory, {}, tar},
      {Kind::kFile, gz_tar_path, {}}, {Kind::kFile, lone_path, {}},
      {Kind::kFile, tar_path, {}},
  };
  const std::vector<std::string> one = load_all(inputs, 1);
  CHECK(one.size() > 40);
  for (std::size_t threads : {2, 3, 4}) {
    CAPTURE(threads);
    const std::vector<std::string> many = load_all(inputs, threads);
    REQUIRE(many.size() == one.size());
    for (std::size_t i = 0; i < one.size(); ++i) CHECK(many[i] == one[i]);
  }
  for (const std::string& path : {tar_path, zip_path, cut_path, gz_tar_path, lone_path}) {
    std::remove(path.c_str());
  }
}

TEST_CASE("several workers load no more than their count ahead of recordings past the bound") {
  // Each recording alone passes the text bound: the small ones' read-ahead never applies.
  const std::size_t lines = BackgroundLoader::kAheadTextBytes / recording(1, 1).size() + 1;
  std::vector<fixtures::TarEntry> entries;
  for (int i = 0; i < 5; ++i) entries.push_back({"m" + std::to_string(i), recording(i, lines)});
  const std::string path = fixtures::temp_file(fixtures::tar(entries));
  BackgroundLoader loader({}, nullptr, vantrel::replay::EarlyJudge::Until::kDecided, 3);
  loader.add(LoaderInput{LoaderInput::Kind::kFile, path, {}});
  settle(loader);
  CHECK(loader.ready_count() == 3);
  auto first = loader.take(std::chrono::milliseconds(5000));
  REQUIRE(first);
  settle(loader);
  CHECK(loader.ready_count() == 3);
  const std::vector<LoadOutcome> rest = take_all(loader);
  REQUIRE(rest.size() == 4);
  for (std::size_t i = 0; i < rest.size(); ++i) {
    CHECK(rest[i].member == "m" + std::to_string(i + 1));
    REQUIRE(rest[i].stored);
  }
  std::remove(path.c_str());
}
