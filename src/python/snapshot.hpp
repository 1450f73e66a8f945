// Assembling a MarketBook from a market cache, handing out again every Runner, price list and
// MarketDefinition whose counter has not moved since it was built.
#pragma once

#include <cstdint>

#include "market/market_cache.hpp"
#include "python/ref.hpp"
#include "python/times.hpp"

namespace vantrel::py {

// How a snapshot is made. The defaults are those of vantrel.vantrel; the package's replay
// follows the ecosystem where it differs.
struct SnapshotOptions {
  using Times = py::Times;
  Times times = Times::kInterpreter;
  // Runners in the order they first appeared instead of key order.
  bool appearance_order = false;
  // MarketDefinition.bet_delay_models from the definition instead of None.
  bool bet_delay_models = false;
  // Price levels as {"price": ..., "size": ...} dicts instead of PriceSize objects: what
  // flumine's patched stream cache hands its strategies.
  bool dict_levels = false;
  // What no definition has said yet as None, as the ecosystem's stream caches show it: the
  // market's status, in-play state, bet delay, version and the rest of its definition's
  // fields before its first definition, and a runner's status, adjustment factor, removal date
  // and starting price until a definition lists it. Otherwise the compatible module's
  // defaults ("OPEN", not in play, no delay, ...) or what the changes said.
  bool undefined_as_none = false;
  // Called as price_ladder_description(type=...) for the price_ladder_definition of the books
  // and definitions of a market whose definition describes its ladder; null: always None.
  // Borrowed: whoever holds the options keeps it alive.
  PyObject* price_ladder_description = nullptr;
};

// Whether the market's fields a definition sets are shown: not before its first definition
// where what no definition has said is None.
inline bool shows_definition_fields(const MarketCache& cache, const SnapshotOptions& options) {
  return cache.defined() || !options.undefined_as_none;
}

// The market's active runners: where what no definition has said is None, only those a
// definition listed count, as the ecosystem's caches take the count from the definition.
inline std::int32_t active_runners(const MarketCache& cache, const SnapshotOptions& options) {
  return options.undefined_as_none ? cache.number_of_active_defined_runners
                                   : cache.number_of_active_runners;
}

class TradedTotals;

// The release function for the cache's reuse slots: they hold strong references.
void release_object(void* object);

// A new MarketBook for the cache's current state; refills the cache's reuse slots. With
// `totals`, the market's or the runners' total matched are those it computes.
Ref build_snapshot(MarketCache& cache, const SnapshotOptions& options = {},
                   TradedTotals* totals = nullptr);

}  // namespace vantrel::py
