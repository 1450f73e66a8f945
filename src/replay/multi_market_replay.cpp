#include "replay/multi_market_replay.hpp"

#include <algorithm>

#include "replay/early_judge.hpp"

namespace vantrel::replay {

namespace {

const json::Key kId("id");

// Where a market's cache keeps the value each definition key is judged by. The cache keeps a
// definition's values until another definition carries the key again, as the book shows them.
struct TextField {
  FilterKey key;
  std::optional<std::string> MarketCache::*value;
};
constexpr TextField kTextFields[] = {
    {FilterKey::kEventIds, &MarketCache::event_id},
    {FilterKey::kEventTypeIds, &MarketCache::event_type_id},
    {FilterKey::kMarketTypes, &MarketCache::market_type},
    {FilterKey::kCountryCodes, &MarketCache::country_code},
    {FilterKey::kVenues, &MarketCache::venue},
    {FilterKey::kRaceTypes, &MarketCache::race_type},
    {FilterKey::kBettingTypes, &MarketCache::betting_type},
};
struct FlagField {
  FilterKey key;
  bool MarketCache::*value;
};
constexpr FlagField kFlagFields[] = {
    {FilterKey::kBspMarket, &MarketCache::bsp_market},
    {FilterKey::kTurnInPlayEnabled, &MarketCache::turn_in_play_enabled},
};

}  // namespace

void MarketFilter::keep_texts(FilterKey key, std::vector<std::string> texts) {
  std::sort(texts.begin(), texts.end());
  conditions_[static_cast<std::size_t>(key)].texts = std::move(texts);
  given_.add(key);
}

void MarketFilter::keep_flag(FilterKey key, bool flag) {
  conditions_[static_cast<std::size_t>(key)].flag = flag;
  given_.add(key);
}

bool MarketFilter::reads_definitions() const {
  FilterKeys ids;
  ids.add(FilterKey::kMarketIds);
  return !given_.without(ids).empty();
}

const MarketFilter::Condition* MarketFilter::condition(FilterKey key) const {
  return given_.has(key) ? &conditions_[static_cast<std::size_t>(key)] : nullptr;
}

bool MarketFilter::meets(FilterKey key, std::string_view value) const {
  const Condition* c = condition(key);
  return c == nullptr || std::binary_search(c->texts.begin(), c->texts.end(), value);
}

bool MarketFilter::meets(FilterKey key, bool value) const {
  const Condition* c = condition(key);
  return c == nullptr || c->flag == value;
}

bool MarketFilter::passes_over_name(std::string_view name) const {
  switch (event_files_) {
    case EventFiles::kEventFiles:
      return !market_named_by(name).empty();
    case EventFiles::kMarketFiles:
      return !event_named_by(name).empty();
    case EventFiles::kOnce:
    case EventFiles::kAll:
      break;
  }
  return false;
}

MultiMarketReplay::MultiMarketReplay(ReleaseFn release, const MarketFilter& filter,
                                     const std::unordered_set<std::string>* read_elsewhere)
    : release_(release),
      filter_(&filter),
      read_elsewhere_(read_elsewhere),
      reads_definitions_(filter.reads_definitions()) {}

std::size_t MultiMarketReplay::find_or_add(std::string_view id) {
  // Consecutive changes mostly name the same market.
  if (current_ != kNone && markets_[current_].id == id) return current_;
  const auto it = index_.find(std::string(id));
  if (it != index_.end()) return it->second;
  // A market left out by id is remembered too, so that its changes without an id stay out.
  Keep keep = reads_definitions_ ? Keep::kUndecided : Keep::kKept;
  std::unique_ptr<MarketCache> cache;
  if (read_elsewhere_ != nullptr && read_elsewhere_->contains(std::string(id))) {
    keep = Keep::kDropped;
  } else if (!filter_->meets(FilterKey::kMarketIds, id)) {
    keep = Keep::kDropped;
  } else {
    if (filter_->given().has(FilterKey::kMarketIds)) matched_.add(FilterKey::kMarketIds);
    cache = std::make_unique<MarketCache>(id, release_, MarketCache::Reading::kEcosystem);
  }
  index_.emplace(std::string(id), markets_.size());
  markets_.push_back({std::string(id), std::move(cache), keep});
  return markets_.size() - 1;
}

MultiMarketReplay::Market* MultiMarketReplay::route(json::Value change) {
  if (change.is_object()) {
    const json::Value id = change.find(kId);
    if (id.present() && id.is_string() && !id.as_string().empty()) {
      current_ = find_or_add(id.as_string());
    }
  }
  if (current_ == kNone || markets_[current_].keep == Keep::kDropped) return nullptr;
  return &markets_[current_];
}

// Judges a market by the definition just applied: kept while every definition meets every key
// given, dropped for good at the first that does not. A definition without a key's value does
// not meet it. Every key is judged, so that a key that no market meets can be told apart from
// one whose markets another key left out. True when the market is dropped by this judgement.
bool MultiMarketReplay::judge(Market& market) {
  const MarketCache& cache = *market.cache;
  const FilterKeys given = filter_->given();
  bool keep = true;
  const auto note = [&](FilterKey key, bool met) {
    if (met) matched_.add(key);
    keep &= met;
  };
  for (const TextField& field : kTextFields) {
    if (!given.has(field.key)) continue;
    const std::optional<std::string>& value = cache.*field.value;
    note(field.key, value && filter_->meets(field.key, *value));
  }
  for (const FlagField& field : kFlagFields) {
    if (given.has(field.key)) note(field.key, filter_->meets(field.key, cache.*field.value));
  }
  market.keep = keep ? Keep::kKept : Keep::kDropped;
  return !keep;
}

void MultiMarketReplay::apply(const ParsedMessage& message, std::vector<MarketCache*>& changed) {
  changed.clear();
  bool dropped = false;
  message.for_each_change([&](json::Value change) {
    Market* market = route(change);
    if (market == nullptr) return;
    const std::uint64_t generation = market->cache->definition_generation;
    market->cache->update(change, message.publish_time());
    // Only a definition changes what a market is judged by.
    if (reads_definitions_ && market->cache->definition_generation != generation) {
      dropped |= judge(*market);
    }
    if (market->keep != Keep::kKept) return;
    MarketCache* cache = market->cache.get();
    if (std::find(changed.begin(), changed.end(), cache) == changed.end()) {
      changed.push_back(cache);
    }
  });
  if (!dropped) return;
  // A dropped market takes its cache (and the objects it holds) with it; it may have been
  // listed before a later change of the same message dropped it.
  for (Market& m : markets_) {
    if (m.keep != Keep::kDropped || !m.cache) continue;
    std::erase(changed, m.cache.get());
    m.cache.reset();
  }
}

MarketCache* MultiMarketReplay::find(std::string_view id) const {
  const auto it = index_.find(std::string(id));
  if (it == index_.end()) return nullptr;
  const Market& m = markets_[it->second];
  return m.keep == Keep::kKept ? m.cache.get() : nullptr;
}

std::optional<bool> MultiMarketReplay::kept(std::string_view id) const {
  const auto it = index_.find(std::string(id));
  if (it == index_.end() || markets_[it->second].keep == Keep::kUndecided) return std::nullopt;
  return markets_[it->second].keep == Keep::kKept;
}

void MultiMarketReplay::release_slots() {
  for (Market& m : markets_) {
    if (m.cache) m.cache->release_slots();
  }
}

}  // namespace vantrel::replay
