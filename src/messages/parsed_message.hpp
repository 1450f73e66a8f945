// The messages kept from a stream file, decoded once and held until their iterator goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "messages/json.hpp"
#include "messages/json_parser.hpp"

namespace vantrel {

// One kept line: its market changes and its publish time (milliseconds, always above 0).
struct ParsedMessage {
  // Head word of the "mc" array; or, when `whole_line` is set, of the line object itself,
  // which is then the message's one market change.
  const std::uint64_t* changes;
  std::int64_t publish_time;
  bool whole_line;

  template <class F>
  void for_each_change(F&& f) const {
    const json::Value v(changes);
    if (whole_line) {
      f(v);
      return;
    }
    for (const json::Value change : v.items()) f(change);
  }
};

// Decodes lines into tape words stored in large chunks, so the words of a whole file cost no
// reallocation and little slack.
class MessageStore {
 public:
  // Decodes one trimmed line and keeps it if it is a message; a JSON error is returned.
  json::ParseError add_line(std::string_view line);

  const std::vector<ParsedMessage>& messages() const { return messages_; }
  std::size_t size() const { return messages_.size(); }

 private:
  std::uint64_t* allocate(std::size_t words);

  json::Parser parser_;
  std::vector<std::uint64_t> line_;
  std::vector<std::unique_ptr<std::uint64_t[]>> chunks_;
  std::uint64_t* free_ = nullptr;
  std::size_t free_words_ = 0;
  std::vector<ParsedMessage> messages_;
};

}  // namespace vantrel
