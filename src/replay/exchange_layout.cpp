#include "replay/exchange_layout.hpp"

#include <vector>

#include "replay/early_judge.hpp"

namespace vantrel::replay {

namespace {

const json::Key kId("id");

// The markets a recording's changes name; a change without an id belongs to one named before.
std::vector<std::string> markets_of(const MessageStore& store) {
  std::unordered_set<std::string_view> seen;
  std::vector<std::string> ids;
  std::string_view last;
  for (const ParsedMessage& message : store.messages()) {
    message.for_each_change([&](json::Value change) {
      if (!change.is_object()) return;
      const json::Value id = change.find(kId);
      if (!id.present() || !id.is_string() || id.as_string().empty()) return;
      if (id.as_string() == last) return;
      last = id.as_string();
      if (seen.insert(last).second) ids.emplace_back(last);
    });
  }
  return ids;
}

}  // namespace

std::string_view folder_of(std::string_view name) {
  const std::size_t slash = name.find_last_of("/\\");
  return slash == std::string_view::npos ? std::string_view() : name.substr(0, slash);
}

bool ExchangeLayout::admit(const std::string& folder, std::string_view name,
                           const MessageStore& store) {
  elsewhere_.clear();
  if (choice_ != EventFiles::kOnce) return true;
  const std::string_view market = market_named_by(name);
  if (!market.empty()) {
    // Held to be that market alone, as the filters take such a file.
    Folder& here = folders_[folder];
    here.market_files.emplace(market);
    return !here.event_files.contains(std::string(market));
  }
  if (event_named_by(name).empty()) return true;
  Folder& here = folders_[folder];
  for (std::string& id : markets_of(store)) {
    if (here.market_files.contains(id)) {
      elsewhere_.insert(std::move(id));
    } else {
      here.event_files.insert(std::move(id));
    }
  }
  return true;
}

}  // namespace vantrel::replay
