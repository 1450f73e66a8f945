// One kept line of a stream file: where its market changes sit on the tape, and its publish time.
#pragma once

#include <cstdint>
#include <string_view>

#include "messages/tape.hpp"

namespace vantrel {

// One kept line: its market changes and its publish time (milliseconds, always above 0).
// Sixteen bytes: the flag that says which kind of head word it is rides in the pointer's
// low bit, which tape words (8-byte aligned) never use.
class ParsedMessage {
 public:
  ParsedMessage(const std::uint64_t* changes, std::int64_t publish_time, bool whole_line)
      : changes_(reinterpret_cast<std::uintptr_t>(changes) | (whole_line ? 1 : 0)),
        publish_time_(publish_time) {}

  std::int64_t publish_time() const { return publish_time_; }
  // True when the line object itself is the message's one market change (a line without an
  // "mc" array but with "marketDefinition" or "rc").
  bool whole_line() const { return (changes_ & 1) != 0; }
  // Head word of the "mc" array, or of the line object.
  const std::uint64_t* head() const {
    return reinterpret_cast<const std::uint64_t*>(changes_ & ~std::uintptr_t{1});
  }

  template <class F>
  void for_each_change(F&& f) const {
    const json::Value v(head());
    if (whole_line()) {
      f(v);
      return;
    }
    for (const json::Value change : v.items()) f(change);
  }

 private:
  std::uintptr_t changes_;
  std::int64_t publish_time_;
};

}  // namespace vantrel
