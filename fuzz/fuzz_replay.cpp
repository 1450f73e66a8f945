// The whole core, as a load and a replay see it: lines into a MessageStore, every stored market
// change routed by the replay step into its MarketCache, and the ladders read out after each
// change.
//
// Besides crashes this looks for the faults that would hand Python stale objects: the object
// layer reuses a Runner while its change counter stands still, a price list while its ladder's
// counter does, and a MarketDefinition while the definition generation does. So whatever a
// runner shows must not change without its counter moving, and no counter may go back.
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "market/market_cache.hpp"
#include "messages/message_store.hpp"
#include "replay/market_replay.hpp"
#include "stored_lines.hpp"

using namespace vantrel;

namespace {

using Levels = std::vector<std::pair<std::uint64_t, std::uint64_t>>;  // bit patterns

// A ladder read out, after checking its order and its levels.
Levels read_ladder(const PriceLadder& ladder) {
  const std::vector<PriceSize> levels = ladder.to_price_sizes();
  FUZZ_CHECK(levels.size() == ladder.size());
  Levels bits;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    const PriceSize& l = levels[i];
    FUZZ_CHECK(std::isfinite(l.price) && std::isfinite(l.size));
    FUZZ_CHECK(l.size != 0.0);
    if (i > 0) {
      const double prev = levels[i - 1].price;
      FUZZ_CHECK(ladder.descending() ? prev >= l.price : prev <= l.price);
    }
    bits.emplace_back(std::bit_cast<std::uint64_t>(l.price), std::bit_cast<std::uint64_t>(l.size));
  }
  for (std::size_t i = 0; i < bits.size(); ++i) {
    for (std::size_t j = i + 1; j < bits.size() && levels[j].price == levels[i].price; ++j) {
      FUZZ_CHECK(bits[i].first != bits[j].first);
    }
  }
  return bits;
}

std::optional<std::uint64_t> bits_of(const std::optional<double>& d) {
  if (!d) return std::nullopt;
  return std::bit_cast<std::uint64_t>(*d);
}

struct SpState {
  SpValue::Kind kind;
  std::uint64_t number;
  std::string text;
  bool operator==(const SpState&) const = default;
};
SpState sp_state(const SpValue& sp) {
  return {sp.kind, sp.kind == SpValue::Kind::kNumber ? std::bit_cast<std::uint64_t>(sp.number) : 0,
          sp.text};
}

// What a Runner object shows, and the counters that decide its reuse.
struct RunnerState {
  const RunnerCache* identity;
  std::string status;
  std::optional<std::uint64_t> adjustment_factor, last_price_traded;
  std::uint64_t total_matched;
  std::optional<std::string> removal_date;
  SpState near_price, far_price, actual_sp;
  Levels atb, atl, spb, spl, trd;
  std::uint64_t counter;
  std::uint64_t atb_counter, atl_counter, spb_counter, spl_counter, trd_counter;

  bool shows_same(const RunnerState& o) const {
    return status == o.status && adjustment_factor == o.adjustment_factor &&
           last_price_traded == o.last_price_traded && total_matched == o.total_matched &&
           removal_date == o.removal_date && near_price == o.near_price &&
           far_price == o.far_price && actual_sp == o.actual_sp && atb == o.atb && atl == o.atl &&
           spb == o.spb && spl == o.spl && trd == o.trd;
  }
};

RunnerState runner_state(const RunnerCache& r) {
  return {&r,
          r.status,
          bits_of(r.adjustment_factor),
          bits_of(r.last_price_traded),
          std::bit_cast<std::uint64_t>(r.total_matched),
          r.removal_date,
          sp_state(r.near_price),
          sp_state(r.far_price),
          sp_state(r.actual_sp),
          read_ladder(r.atb),
          read_ladder(r.atl),
          read_ladder(r.spb),
          read_ladder(r.spl),
          read_ladder(r.trd),
          r.change_counter,
          r.atb.change_counter(),
          r.atl.change_counter(),
          r.spb.change_counter(),
          r.spl.change_counter(),
          r.trd.change_counter()};
}

void check_ladder_counter(const Levels& before, std::uint64_t counter_before, const Levels& after,
                          std::uint64_t counter_after) {
  FUZZ_CHECK(counter_after >= counter_before);
  if (before != after) FUZZ_CHECK(counter_after > counter_before);
}

// The fields only a market definition sets, which the definition object shows.
struct DefinitionState {
  std::vector<std::string> strings;
  std::vector<std::uint64_t> numbers;
  bool operator==(const DefinitionState&) const = default;
};

DefinitionState definition_state(const MarketCache& c) {
  DefinitionState d;
  for (const auto* s :
       {&c.event_id, &c.event_type_id, &c.event_name, &c.market_type, &c.market_time,
        &c.country_code, &c.venue, &c.race_type, &c.name, &c.timezone, &c.betting_type,
        &c.open_date, &c.suspend_time, &c.settled_time}) {
    d.strings.push_back(s->has_value() ? "+" + **s : "-");
  }
  d.strings.insert(d.strings.end(), c.regulators.begin(), c.regulators.end());
  d.numbers = {static_cast<std::uint64_t>(c.number_of_winners),
               c.bsp_market,
               c.turn_in_play_enabled,
               c.discount_allowed,
               c.persistence_enabled,
               std::bit_cast<std::uint64_t>(c.market_base_rate),
               c.each_way_divisor ? std::bit_cast<std::uint64_t>(*c.each_way_divisor) : 1};
  for (const MarketDefinitionRunner& r : c.definition_runners) {
    d.numbers.push_back(static_cast<std::uint64_t>(r.selection_id));
    d.numbers.push_back(static_cast<std::uint64_t>(r.sort_priority));
    d.numbers.push_back(std::bit_cast<std::uint64_t>(r.handicap));
    d.numbers.push_back(bits_of(r.adjustment_factor).value_or(1));
    d.numbers.push_back(bits_of(r.bsp).value_or(1));
    d.strings.push_back(r.status);
    d.strings.push_back(r.name.value_or("\x01"));
    d.strings.push_back(r.removal_date.value_or("\x01"));
  }
  return d;
}

class Replay {
 public:
  void apply(json::Value change, std::int64_t publish_time) {
    MarketCache* cache = route_.route(change);
    if (cache == nullptr) return;
    const json::Value img = change.is_object() ? change.find(json::Key("img")) : json::Value();
    // An image drops every runner; their successors start counting afresh.
    if (img.present() && img.is_true()) runners_.clear();
    cache->update(change, publish_time);
    check(*cache, publish_time);
  }

 private:
  void check(const MarketCache& c, std::int64_t publish_time) {
    FUZZ_CHECK(c.publish_time == publish_time);
    const auto& runners = c.runners();
    FUZZ_CHECK(c.number_of_runners == static_cast<std::int32_t>(runners.size()));
    std::int32_t active = 0;
    for (std::size_t i = 0; i < runners.size(); ++i) {
      const RunnerCache& r = *runners[i];
      FUZZ_CHECK(r.key.selection_id == r.selection_id);
      FUZZ_CHECK(r.key.handicap_key == handicap_key(r.handicap));
      if (i > 0) FUZZ_CHECK(runners[i - 1]->key < r.key);
      FUZZ_CHECK(c.find_runner(r.key) == &r);
      active += r.status == "ACTIVE";

      RunnerState now = runner_state(r);
      const auto it = runners_.find(r.key);
      if (it != runners_.end()) {
        const RunnerState& was = it->second;
        FUZZ_CHECK(was.identity == now.identity);
        FUZZ_CHECK(now.counter >= was.counter);
        if (!now.shows_same(was)) FUZZ_CHECK(now.counter > was.counter);
        check_ladder_counter(was.atb, was.atb_counter, now.atb, now.atb_counter);
        check_ladder_counter(was.atl, was.atl_counter, now.atl, now.atl_counter);
        check_ladder_counter(was.spb, was.spb_counter, now.spb, now.spb_counter);
        check_ladder_counter(was.spl, was.spl_counter, now.spl, now.spl_counter);
        check_ladder_counter(was.trd, was.trd_counter, now.trd, now.trd_counter);
      }
      runners_.insert_or_assign(r.key, std::move(now));
    }
    FUZZ_CHECK(c.number_of_active_runners == active);
    FUZZ_CHECK(runners_.size() == runners.size());

    DefinitionState definition = definition_state(c);
    FUZZ_CHECK(c.definition_generation >= generation_);
    if (!(definition == definition_)) FUZZ_CHECK(c.definition_generation > generation_);
    generation_ = c.definition_generation;
    definition_ = std::move(definition);
  }

  replay::SingleMarketReplay route_{nullptr};
  std::map<RunnerKey, RunnerState> runners_;
  std::uint64_t generation_ = 0;
  DefinitionState definition_ = definition_state(MarketCache("-", nullptr));
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MessageStore store;
  store_lines(data, size, store);

  Replay replay;
  for (const ParsedMessage& m : store.messages()) {
    FUZZ_CHECK(m.publish_time() > 0);
    m.for_each_change([&](json::Value change) { replay.apply(change, m.publish_time()); });
  }
  return 0;
}
