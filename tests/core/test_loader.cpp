// The loader runs ahead of the replay through small recordings only: however long the caller
// takes, the outcomes it holds stay within their count and text bounds, and they come out in
// input order, a failure in its place.
#include <doctest/doctest.h>

#include <chrono>
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
