#include "messages/parsed_message.hpp"

#include <algorithm>
#include <cstring>

namespace vantrel {

namespace {

constexpr std::size_t kChunkWords = std::size_t{1} << 18;  // 2 MiB

const json::Key kPt("pt");
const json::Key kMc("mc");
const json::Key kMarketDefinition("marketDefinition");
const json::Key kRc("rc");

}  // namespace

std::uint64_t* MessageStore::allocate(std::size_t words) {
  if (words > free_words_) {
    // A message larger than a quarter chunk gets a chunk of its own, so the slack stays small.
    if (words > kChunkWords / 4) {
      chunks_.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(words));
      return chunks_.back().get();
    }
    chunks_.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(kChunkWords));
    free_ = chunks_.back().get();
    free_words_ = kChunkWords;
  }
  std::uint64_t* p = free_;
  free_ += words;
  free_words_ -= words;
  return p;
}

json::ParseError MessageStore::add_line(std::string_view line) {
  line_.clear();
  const json::ParseError err = parser_.parse(line, line_);
  if (err) return err;

  const json::Value root(line_.data());
  if (!root.is_object()) return {};
  std::int64_t publish_time = 0;
  json::Value mc;
  bool is_change = false;
  for (const json::Member m : root.members()) {
    if (m.key.key_equals(kPt)) {
      publish_time = m.value.as_int().value_or(0);
    } else if (m.key.key_equals(kMc)) {
      mc = m.value;
    } else if (m.key.key_equals(kMarketDefinition) || m.key.key_equals(kRc)) {
      is_change = true;
    }
  }
  const bool has_changes_array = mc.present() && mc.is_array();
  if (!has_changes_array && !is_change) return {};
  if (publish_time <= 0) return {};

  const std::uint64_t* first = has_changes_array ? mc.head() : root.head();
  const std::size_t words = json::tape::value_words(first);
  std::uint64_t* stored = allocate(words);
  std::memcpy(stored, first, words * sizeof(std::uint64_t));
  messages_.push_back(ParsedMessage{stored, publish_time, !has_changes_array});
  return {};
}

}  // namespace vantrel
