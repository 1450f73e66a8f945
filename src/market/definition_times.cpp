#include "market/definition_times.hpp"

#include <array>

#include "market/iso_time.hpp"

namespace vantrel {
namespace {

using json::Key;
using json::Value;

const Key kDefinition("marketDefinition");
const Key kRunners("runners");
const Key kRemovalDate("removalDate");
const std::array<Key, 4> kMarketTimes = {Key("marketTime"), Key("openDate"), Key("suspendTime"),
                                         Key("settledTime")};

// The last value of `key` in `object`, as the cache reads a key given twice.
Value last_of(Value object, const Key& key) {
  Value found;
  for (const json::Member m : object.members()) {
    if (m.key.key_equals(key)) found = m.value;
  }
  return found;
}

bool unreadable(Value v) {
  CivilTime civil{};
  return v.present() && v.is_string() && !read_iso_time(v.as_string(), civil);
}

std::optional<UnreadableTime> check_definition(Value definition) {
  for (const Key& key : kMarketTimes) {
    const Value v = last_of(definition, key);
    if (unreadable(v)) return UnreadableTime{key.text, v.as_string()};
  }
  const Value runners = last_of(definition, kRunners);
  if (!runners.present() || !runners.is_array()) return std::nullopt;
  for (const Value runner : runners.items()) {
    if (!runner.is_object()) continue;
    const Value v = last_of(runner, kRemovalDate);
    if (unreadable(v)) return UnreadableTime{kRemovalDate.text, v.as_string()};
  }
  return std::nullopt;
}

}  // namespace

std::optional<UnreadableTime> unreadable_definition_time(const ParsedMessage& message) {
  std::optional<UnreadableTime> found;
  message.for_each_change([&](Value change) {
    if (found || !change.is_object()) return;
    const Value definition = last_of(change, kDefinition);
    if (definition.present() && definition.is_object()) found = check_definition(definition);
  });
  return found;
}

}  // namespace vantrel
