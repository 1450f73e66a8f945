#include "python/snapshot.hpp"

#include <optional>

#include "python/ladder_readout.hpp"
#include "python/market_book.hpp"
#include "python/market_definition.hpp"
#include "python/runner.hpp"
#include "python/times.hpp"
#include "python/traded_totals.hpp"

namespace vantrel::py {

namespace {

PyObject* slot_object(const ReuseSlot& slot) {
  return static_cast<PyObject*>(slot.object);
}

// The ladder's read-out, reused while the ladder's counter has not moved.
template <class Ladder>
PyObject* ladder_readout(MarketCache& cache, ReuseSlot& slot, const Ladder& ladder,
                         const SnapshotOptions& options) {
  if (slot.object == nullptr || slot.stamp != ladder.change_counter()) {
    Ref readout = read_out_ladder(ladder, options.dict_levels);
    if (!readout) return nullptr;
    cache.refill(slot, readout.release(), ladder.change_counter());
  }
  return slot_object(slot);
}

// What a side hands out: the full ladder, unless it is empty and a best-offers ladder is not
// (only a cache that keeps those ever has one), the display ladder before the best available
// one, as the ecosystem's stream cache chooses.
PyObject* side_readout(MarketCache& cache, ReuseSlot& full_slot, const PriceLadder& full,
                       ReuseSlot& display_slot, const LevelLadder& display, ReuseSlot& best_slot,
                       const LevelLadder& best, const SnapshotOptions& options) {
  if (full.size() == 0) {
    if (display.size() != 0) return ladder_readout(cache, display_slot, display, options);
    if (best.size() != 0) return ladder_readout(cache, best_slot, best, options);
  }
  return ladder_readout(cache, full_slot, full, options);
}

// A runner's reuse stamp: with computed totals, a "trd" that changed nothing may still change
// the total shown, and so may what the listener let through.
std::uint64_t runner_stamp(const MarketCache& cache, const RunnerCache& r, TradedTotals* totals) {
  if (totals == nullptr || !totals->runners()) return r.change_counter;
  return r.change_counter + r.traded_updates + totals->runner_revision(cache, r);
}

std::optional<double> runner_total(const MarketCache& cache, const RunnerCache& r,
                                   TradedTotals* totals) {
  if (totals == nullptr || !totals->runners()) return r.total_matched;
  return totals->runner_total(cache, r);
}

PyObject* runner_object(MarketCache& cache, RunnerCache& r, const SnapshotOptions& options,
                        TradedTotals* totals) {
  const std::uint64_t stamp = runner_stamp(cache, r, totals);
  if (r.runner_slot.object != nullptr && r.runner_slot.stamp == stamp) {
    return slot_object(r.runner_slot);
  }
  PyObject* back =
      side_readout(cache, r.atb_slot, r.atb, r.bdatb_slot, r.bdatb, r.batb_slot, r.batb, options);
  if (back == nullptr) return nullptr;
  PyObject* lay =
      side_readout(cache, r.atl_slot, r.atl, r.bdatl_slot, r.bdatl, r.batl_slot, r.batl, options);
  if (lay == nullptr) return nullptr;
  PyObject* traded = ladder_readout(cache, r.trd_slot, r.trd, options);
  if (traded == nullptr) return nullptr;
  Ref ex = make_exchange_prices(Ref::borrow(back), Ref::borrow(lay), Ref::borrow(traded));
  if (!ex) return nullptr;
  PyObject* spl = ladder_readout(cache, r.spl_slot, r.spl, options);
  if (spl == nullptr) return nullptr;
  PyObject* spb = ladder_readout(cache, r.spb_slot, r.spb, options);
  if (spb == nullptr) return nullptr;
  const bool defined = r.defined || !options.undefined_as_none;
  Ref removal;
  if (defined) {
    removal = removal_time(r.removal_date, options.times);
    if (!removal && PyErr_Occurred()) return nullptr;
  }
  const std::optional<double> total = runner_total(cache, r, totals);
  if (!total) return nullptr;
  Ref runner = make_runner(r, std::move(ex), Ref::borrow(spl), Ref::borrow(spb), std::move(removal),
                           *total, defined);
  if (!runner) return nullptr;
  cache.refill(r.runner_slot, runner.release(), stamp);
  return slot_object(r.runner_slot);
}

// The definition object, rebuilt only when a definition arrived since the last build. The slot
// changes only after a successful build, so a bad time raises again at every step.
Ref definition_object(MarketCache& cache, const SnapshotOptions& options) {
  ReuseSlot& slot = cache.definition_slot;
  if (slot.stamp != cache.definition_generation) {
    Ref definition = make_market_definition(cache, options);
    if (!definition) return definition;
    cache.refill(slot, definition.release(), cache.definition_generation);
  }
  return Ref::borrow(slot_object(slot));
}

template <class Runners>
Ref runner_list(MarketCache& cache, const Runners& runners, const SnapshotOptions& options,
                TradedTotals* totals) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(runners.size())));
  if (!list) return list;
  Py_ssize_t i = 0;
  for (const auto& r : runners) {
    PyObject* runner = runner_object(cache, *r, options, totals);
    if (runner == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), i++, Py_NewRef(runner));
  }
  return list;
}

}  // namespace

void release_object(void* object) {
  Py_DECREF(static_cast<PyObject*>(object));
}

Ref build_snapshot(MarketCache& cache, const SnapshotOptions& options, TradedTotals* totals) {
  Ref list = options.appearance_order
                 ? runner_list(cache, cache.runners_in_order_of_appearance(), options, totals)
                 : runner_list(cache, cache.runners(), options, totals);
  if (!list) return list;
  Ref definition = definition_object(cache, options);
  if (!definition && PyErr_Occurred()) return Ref();
  Ref published = publish_time(cache.publish_time, options.times);
  if (!published) return published;
  const std::optional<double> total = totals != nullptr && totals->market()
                                          ? totals->market_total(cache)
                                          : std::optional<double>(cache.total_matched);
  if (!total) return Ref();
  return make_market_book(cache, std::move(list), std::move(definition), std::move(published),
                          *total, options);
}

}  // namespace vantrel::py
