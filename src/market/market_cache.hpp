// The state of one market as the stream has described it so far.
//
// The cache never fails: a key that is absent or of the wrong JSON type leaves the state as it
// was. Three kinds of counter only ever grow (the definition generation, each runner's change
// counter, each ladder's change counter); the object layer compares them with the stamps in
// its reuse slots to decide which Python objects it can hand out again.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "market/price_ladder.hpp"
#include "messages/tape.hpp"

namespace vantrel {

// A starting price: a number, a text, or no value.
struct SpValue {
  enum class Kind : std::uint8_t { kNone, kNumber, kText };
  Kind kind = Kind::kNone;
  double number = 0.0;
  std::string text;

  static SpValue from_json(json::Value v);
};

// (selection id, handicap key); the handicap key is the handicap in hundredths, rounded half
// away from zero and saturated.
struct RunnerKey {
  std::int64_t selection_id;
  std::int64_t handicap_key;
  auto operator<=>(const RunnerKey&) const = default;
};

std::int64_t handicap_key(double handicap);

// A strong reference held for the object layer, with the counter value it was built at. The
// core only stores it and hands it to the release function when the holder goes.
struct ReuseSlot {
  void* object = nullptr;
  std::uint64_t stamp = 0;
};
using ReleaseFn = void (*)(void*);

struct RunnerCache {
  explicit RunnerCache(RunnerKey k, double hc)
      : key(k), selection_id(k.selection_id), handicap(hc) {}

  RunnerKey key;
  std::int64_t selection_id;
  double handicap;
  std::string status = "ACTIVE";
  std::optional<double> adjustment_factor;
  std::optional<double> last_price_traded;
  double total_matched = 0.0;
  std::optional<std::string> removal_date;
  SpValue near_price;
  SpValue far_price;
  SpValue actual_sp;
  PriceLadder atb{true};
  PriceLadder atl{false};
  PriceLadder spb{true};
  PriceLadder spl{false};
  PriceLadder trd{false};
  // The best-offers projections, kept only by a cache made to keep them (see MarketCache).
  LevelLadder batb, batl, bdatb, bdatl;
  std::uint64_t change_counter = 0;
  // For totals computed from the traded ladder, as the ecosystem's stream cache can: the
  // changes that carried "trd" for this runner once it was known, and its "tv" when a change
  // first named it.
  std::uint64_t traded_updates = 0;
  double first_total_matched = 0.0;
  // Distinct for every runner a market ever makes (from 1): a runner made anew after an image
  // restarts its counters, and only this tells it from its predecessor at the same key.
  std::uint64_t serial = 0;
  // A definition has listed the runner since it was made: until then its status, adjustment
  // factor, removal date and starting price are the compatible module's defaults, or what its
  // changes said, which the ecosystem's stream caches do not take as said.
  bool defined = false;

  // Reuse slots: the last Runner object, and the last read-out of each ladder.
  ReuseSlot runner_slot;
  ReuseSlot atb_slot;
  ReuseSlot atl_slot;
  ReuseSlot trd_slot;
  ReuseSlot spb_slot;
  ReuseSlot spl_slot;
  ReuseSlot batb_slot;
  ReuseSlot batl_slot;
  ReuseSlot bdatb_slot;
  ReuseSlot bdatl_slot;

  std::array<ReuseSlot*, 10> slots() {
    return {&runner_slot, &atb_slot,  &atl_slot,  &trd_slot,   &spb_slot,
            &spl_slot,    &batb_slot, &batl_slot, &bdatb_slot, &bdatl_slot};
  }
  std::array<const ReuseSlot*, 10> slots() const {
    return {&runner_slot, &atb_slot,  &atl_slot,  &trd_slot,   &spb_slot,
            &spl_slot,    &batb_slot, &batl_slot, &bdatb_slot, &bdatl_slot};
  }
};

// Which ladder a reader of a side takes. kHandOut is what the ecosystem's stream cache hands
// out as available to back or lay: the full ladder when it has levels, else the best display
// ladder (virtual prices), else the best available one.
enum class LadderChoice : std::uint8_t { kHandOut, kFull, kDisplay, kBest };

// Inline: the tables ask once per runner and side of every book.
inline std::span<const PriceSize> choose_levels(const PriceLadder& full, const LevelLadder& display,
                                                const LevelLadder& best, LadderChoice choice) {
  switch (choice) {
    case LadderChoice::kFull:
      return full.levels();
    case LadderChoice::kDisplay:
      return display.levels();
    case LadderChoice::kBest:
      return best.levels();
    case LadderChoice::kHandOut:
      break;
  }
  if (full.size() != 0) return full.levels();
  if (display.size() != 0) return display.levels();
  return best.levels();
}

inline std::span<const PriceSize> back_levels(const RunnerCache& r, LadderChoice choice) {
  return choose_levels(r.atb, r.bdatb, r.batb, choice);
}

inline std::span<const PriceSize> lay_levels(const RunnerCache& r, LadderChoice choice) {
  return choose_levels(r.atl, r.bdatl, r.batl, choice);
}

struct MarketDefinitionRunner {
  std::int64_t selection_id = 0;
  std::int32_t sort_priority = 0;
  std::string status = "ACTIVE";
  double handicap = 0.0;
  std::optional<double> adjustment_factor;
  std::optional<std::string> removal_date;
  std::optional<std::string> name;
  std::optional<double> bsp;
};

class MarketCache {
 public:
  // How the stream is read where the compatible module and the ecosystem's stream cache part:
  // kEcosystem (the package's replays) also keeps the best-offers projections (batb, batl,
  // bdatb, bdatl), counting their changes as the runner's, and empties the traded ladder on
  // "trd": [].
  enum class Reading : std::uint8_t { kCompatible, kEcosystem };
  MarketCache(std::string_view market_id, ReleaseFn release,
              Reading reading = Reading::kCompatible);
  ~MarketCache();
  MarketCache(const MarketCache&) = delete;
  MarketCache& operator=(const MarketCache&) = delete;

  // Applies one market change (any JSON value) published at `publish_time`.
  void update(json::Value change, std::int64_t publish_time);

  // Runners in key order: selection id, then handicap key.
  const std::vector<std::unique_ptr<RunnerCache>>& runners() const { return runners_; }
  // Runners in the order they first appeared: a definition's in the order it lists them, the
  // others when a change first named them. An image starts the order afresh. This is the order
  // the ecosystem's stream caches keep, which strategies index into.
  const std::vector<RunnerCache*>& runners_in_order_of_appearance() const { return appearance_; }
  RunnerCache* find_runner(RunnerKey key) const;

  std::string market_id;
  std::int64_t publish_time = 0;
  std::string status = "OPEN";
  std::int32_t bet_delay = 0;
  bool bsp_reconciled = false;
  bool complete = true;
  bool cross_matching = true;
  bool in_play = false;
  bool runners_voidable = false;
  std::int32_t number_of_winners = 1;
  bool bsp_market = false;
  bool turn_in_play_enabled = false;
  bool discount_allowed = false;
  bool persistence_enabled = true;
  std::optional<double> each_way_divisor;
  double market_base_rate = 0.0;
  std::optional<std::string> event_id, event_type_id, event_name, market_type, market_time,
      country_code, venue, race_type, name, timezone, betting_type, open_date, suspend_time,
      settled_time;
  std::vector<std::string> regulators;
  // Only the package's replay shows these; absent until a definition carries the key.
  std::optional<std::vector<std::string>> bet_delay_models;
  // The "type" of the latest definition's "priceLadderDefinition".
  std::optional<std::string> price_ladder_type;
  std::int64_t version = 0;
  double total_matched = 0.0;
  // The largest traded volume the market has shown: the exchange zeroes `tv` as it closes a
  // market, so the last figure says nothing of what was matched.
  double peak_total_matched = 0.0;
  std::optional<std::int64_t> last_match_time;
  std::vector<MarketDefinitionRunner> definition_runners;
  // 0 until the first definition: the market fields it sets are then the compatible module's
  // defaults, or what the changes said, which the ecosystem's stream caches do not take as said.
  std::uint64_t definition_generation = 0;
  bool defined() const { return definition_generation != 0; }
  std::int32_t number_of_runners = 0;
  std::int32_t number_of_active_runners = 0;
  // Of those, the runners a definition has listed, which the ecosystem's caches count alone.
  std::int32_t number_of_active_defined_runners = 0;
  ReuseSlot definition_slot;
  // Images applied, and the changes since the last one that carried "trd" for a runner
  // already known: when totals computed from the traded ladders are due.
  std::uint64_t images = 0;
  std::uint64_t traded_updates = 0;

  // Stores a new object in a slot, releasing the one it replaces.
  void refill(ReuseSlot& slot, void* object, std::uint64_t stamp);

  // Calls `visit(object)` for the object in every filled reuse slot; a non-zero result stops
  // the walk and is returned (the shape of the interpreter's traversal).
  template <class F>
  int visit_slots(F&& visit) const {
    if (definition_slot.object != nullptr) {
      if (const int r = visit(definition_slot.object)) return r;
    }
    for (const auto& runner : runners_) {
      for (const ReuseSlot* slot : runner->slots()) {
        if (slot->object == nullptr) continue;
        if (const int r = visit(slot->object)) return r;
      }
    }
    return 0;
  }
  // Empties every reuse slot; the next snapshot builds afresh what it needs.
  void release_slots();

 private:
  RunnerCache& runner_for(RunnerKey key, double handicap);
  void apply_definition(json::Value definition);
  void apply_definition_runners(json::Value runners);
  void apply_price_ladder_definition(json::Value description);
  // True when the change carried "trd" for a runner already known.
  bool apply_runner_change(json::Value change);
  void release_runner(RunnerCache& runner);
  void clear_runners();
  void recount();
  bool counts_stale_ = true;
  std::vector<RunnerCache*> appearance_;
  std::uint64_t runner_serials_ = 0;

  std::vector<std::unique_ptr<RunnerCache>> runners_;
  ReleaseFn release_;
  Reading reading_;
};

}  // namespace vantrel
