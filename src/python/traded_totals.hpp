// Totals computed from the traded ladders, as betfairlightweight's stream cache computes them
// when its listener asks (calculate_market_tv for the market, cumulative_runner_tv for each
// runner): round(sum of the traded sizes, 2), recomputed only when a change carries "trd" for a
// runner the market already knew, and kept as they are otherwise.
//
// That cache keeps each ladder's list of levels up to date only while the listener lets the
// market through; a change it leaves out updates the ladder but not the list, and the totals it
// recomputes then are those of the lists as they last were. A market let through again has its
// lists brought up to date, but not its totals. The caller says which books its listener left
// out (`settle`), and the totals follow: the lists as they were are kept here for that.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "market/market_cache.hpp"

namespace vantrel::py {

class TradedTotals {
 public:
  TradedTotals(bool market, bool runners) : market_(market), runners_(runners) {}

  bool market() const { return market_; }
  bool runners() const { return runners_; }

  // The totals a book built now shows, the last change taken as let through; null with an
  // exception set when the interpreter fails.
  std::optional<double> market_total(const MarketCache& cache);
  std::optional<double> runner_total(const MarketCache& cache, const RunnerCache& runner);
  // Part of the runner's reuse stamp: moves whenever its total may have changed.
  std::uint64_t runner_revision(const MarketCache& cache, const RunnerCache& runner);

  // After the books of a message: whether the listener let the market's change through. False
  // if the interpreter failed (an exception is set).
  bool settle(const MarketCache& cache, bool let_through);

  void clear() { markets_.clear(); }

 private:
  struct Runner {
    std::uint64_t seen_updates = 0;  // traded_updates when the total was last computed
    std::uint64_t settled_updates = 0;
    std::uint64_t revision = 0;
    std::optional<double> total;  // none: never computed, the runner's first total stands
    std::vector<double> listed;   // the sizes of the ladder's list as it last was kept
  };
  struct Market {
    std::uint64_t images = 0;
    std::uint64_t seen_updates = 0;
    std::uint64_t settled_updates = 0;
    double total = 0.0;
    bool let_through = false;                           // the last settled change
    std::unordered_map<std::uint64_t, Runner> runners;  // by RunnerCache::serial
  };

  Market& market_of(const MarketCache& cache);
  Runner& runner_of(Market& market, const RunnerCache& runner);

  bool market_;
  bool runners_;
  std::unordered_map<std::string, Market> markets_;
};

}  // namespace vantrel::py
