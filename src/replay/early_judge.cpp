#include "replay/early_judge.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace vantrel::replay {
namespace {

constexpr std::array<std::string_view, 6> kCompressionSuffixes = {".bz2", ".gz",   ".zst",
                                                                  ".xz",  ".gzip", ".zstd"};

bool all_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The probe keeps no Python objects: nothing is ever handed out of its caches.
void release_nothing(void*) {}

// The last component of `path` without its compression suffix.
std::string_view stem_of(std::string_view path) {
  std::string_view name = path.substr(path.find_last_of("/\\") + 1);
  for (const std::string_view suffix : kCompressionSuffixes) {
    if (name.ends_with(suffix)) {
      name.remove_suffix(suffix.size());
      break;
    }
  }
  return name;
}

}  // namespace

std::string_view event_named_by(std::string_view path) {
  const std::string_view name = stem_of(path);
  return all_digits(name) ? name : std::string_view();
}

std::string_view market_named_by(std::string_view path) {
  const std::string_view name = stem_of(path);
  const std::size_t dot = name.find('.');
  if (dot == std::string_view::npos || !all_digits(name.substr(0, dot)) ||
      !all_digits(name.substr(dot + 1))) {
    return {};
  }
  return name;
}

EarlyJudge::EarlyJudge(const MarketFilter& filter, std::string_view market_id, Until until)
    : filter_(filter), market_id_(market_id), until_(until), probe_(release_nothing, filter) {}

bool EarlyJudge::ruled_out_by_id() const {
  return !filter_.meets(FilterKey::kMarketIds, market_id_);
}

EarlyJudge::Verdict EarlyJudge::judge(const ParsedMessage& message) {
  if (verdict_ != Verdict::kUndecided) return verdict_;
  const bool to_definition = until_ == Until::kFirstDefinition;
  if (!filter_.reads_definitions() && !to_definition) {
    verdict_ = ruled_out_by_id() ? Verdict::kRuledOut : Verdict::kKept;
    return verdict_;
  }
  std::vector<MarketCache*> changed;
  probe_.apply(message, changed);
  const std::optional<bool> kept = probe_.kept(market_id_);
  // Without keys that read definitions a market is kept as soon as it is met, before its
  // definition: the stop waits for the definition itself.
  if (kept && !*kept) {
    verdict_ = Verdict::kRuledOut;
  } else if (kept && (!to_definition || has_definition())) {
    verdict_ = to_definition ? Verdict::kEnough : Verdict::kKept;
  } else if (++judged_ == kMessagesToJudge) {
    verdict_ = Verdict::kKept;  // no word yet: the replay reads it all and judges as it goes
  }
  return verdict_;
}

bool EarlyJudge::has_definition() const {
  const MarketCache* market = probe_.find(market_id_);
  return market != nullptr && market->definition_generation != 0;
}

}  // namespace vantrel::replay
