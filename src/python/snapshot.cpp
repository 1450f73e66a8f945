#include "python/snapshot.hpp"

#include "python/fast_times.hpp"
#include "python/ladder_readout.hpp"
#include "python/market_book.hpp"
#include "python/market_definition.hpp"
#include "python/runner.hpp"
#include "python/times.hpp"

namespace vantrel::py {

namespace {

PyObject* slot_object(const ReuseSlot& slot) {
  return static_cast<PyObject*>(slot.object);
}

// The ladder's read-out, reused while the ladder's counter has not moved.
template <class Ladder>
PyObject* ladder_readout(MarketCache& cache, ReuseSlot& slot, const Ladder& ladder) {
  if (slot.object == nullptr || slot.stamp != ladder.change_counter()) {
    Ref readout = read_out_ladder(ladder);
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
                       const LevelLadder& best) {
  if (full.size() == 0) {
    if (display.size() != 0) return ladder_readout(cache, display_slot, display);
    if (best.size() != 0) return ladder_readout(cache, best_slot, best);
  }
  return ladder_readout(cache, full_slot, full);
}

PyObject* runner_object(MarketCache& cache, RunnerCache& r) {
  if (r.runner_slot.object != nullptr && r.runner_slot.stamp == r.change_counter) {
    return slot_object(r.runner_slot);
  }
  PyObject* back =
      side_readout(cache, r.atb_slot, r.atb, r.bdatb_slot, r.bdatb, r.batb_slot, r.batb);
  if (back == nullptr) return nullptr;
  PyObject* lay =
      side_readout(cache, r.atl_slot, r.atl, r.bdatl_slot, r.bdatl, r.batl_slot, r.batl);
  if (lay == nullptr) return nullptr;
  PyObject* traded = ladder_readout(cache, r.trd_slot, r.trd);
  if (traded == nullptr) return nullptr;
  Ref ex = make_exchange_prices(Ref::borrow(back), Ref::borrow(lay), Ref::borrow(traded));
  if (!ex) return nullptr;
  PyObject* spl = ladder_readout(cache, r.spl_slot, r.spl);
  if (spl == nullptr) return nullptr;
  PyObject* spb = ladder_readout(cache, r.spb_slot, r.spb);
  if (spb == nullptr) return nullptr;
  Ref runner = make_runner(r, std::move(ex), Ref::borrow(spl), Ref::borrow(spb));
  if (!runner) return nullptr;
  cache.refill(r.runner_slot, runner.release(), r.change_counter);
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

Ref publish_time_object(std::int64_t milliseconds, SnapshotOptions::Times times) {
  if (times == SnapshotOptions::Times::kInterpreter) return publish_time_to_datetime(milliseconds);
  return datetime_from_ms(milliseconds, times == SnapshotOptions::Times::kAware);
}

template <class Runners>
Ref runner_list(MarketCache& cache, const Runners& runners) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(runners.size())));
  if (!list) return list;
  Py_ssize_t i = 0;
  for (const auto& r : runners) {
    PyObject* runner = runner_object(cache, *r);
    if (runner == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), i++, Py_NewRef(runner));
  }
  return list;
}

}  // namespace

void release_object(void* object) {
  Py_DECREF(static_cast<PyObject*>(object));
}

Ref build_snapshot(MarketCache& cache, const SnapshotOptions& options) {
  Ref list = options.appearance_order ? runner_list(cache, cache.runners_in_order_of_appearance())
                                      : runner_list(cache, cache.runners());
  if (!list) return list;
  Ref definition = definition_object(cache, options);
  if (!definition && PyErr_Occurred()) return Ref();
  Ref publish_time = publish_time_object(cache.publish_time, options.times);
  if (!publish_time) return publish_time;
  return make_market_book(cache, std::move(list), std::move(definition), std::move(publish_time));
}

}  // namespace vantrel::py
