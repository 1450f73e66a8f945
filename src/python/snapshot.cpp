#include "python/snapshot.hpp"

#include <array>
#include <optional>
#include <vector>

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
PyObject* ladder_readout(MarketCache& cache, ReuseSlot& slot, const PriceLadder& ladder,
                         const SnapshotOptions& options) {
  if (slot.object == nullptr || slot.stamp != ladder.change_counter()) {
    Ref readout = read_out_ladder(ladder, options.dict_levels);
    if (!readout) return nullptr;
    cache.refill(slot, readout.release(), ladder.change_counter());
  }
  return slot_object(slot);
}

// round(sum(sizes), 2) by the interpreter's own sum and round, as betfairlightweight's cache
// computes its totals: since 3.12 a sum of floats is compensated, and only the interpreter's
// own gives the very same number on every version. Null with an exception set on failure.
template <class Ladders>
std::optional<double> rounded_traded_sum(const Ladders& ladders) {
  Ref sizes = Ref::steal(PyList_New(0));
  if (!sizes) return std::nullopt;
  for (const PriceLadder* ladder : ladders) {
    for (const PriceSize& level : ladder->levels()) {
      Ref size = Ref::steal(PyFloat_FromDouble(level.size));
      if (!size || PyList_Append(sizes.get(), size.get()) < 0) return std::nullopt;
    }
  }
  PyObject* sum = PyDict_GetItemString(PyEval_GetBuiltins(), "sum");  // borrowed
  if (sum == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "no builtin sum");
    return std::nullopt;
  }
  Ref total = Ref::steal(PyObject_CallOneArg(sum, sizes.get()));
  if (!total) return std::nullopt;
  Ref rounded = Ref::steal(PyObject_CallMethod(total.get(), "__round__", "i", 2));
  if (!rounded) return std::nullopt;
  const double value = PyFloat_AsDouble(rounded.get());
  if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
  return value;
}

// What a runner shows as its total matched; a runner with a computed total is rebuilt also when
// a "trd" changed nothing, since the first one replaces the total the runner was made with.
std::uint64_t runner_stamp(const RunnerCache& r, const SnapshotOptions& options) {
  return options.cumulative_runner_tv ? r.change_counter + r.traded_updates : r.change_counter;
}

std::optional<double> runner_total(const RunnerCache& r, const SnapshotOptions& options) {
  if (!options.cumulative_runner_tv) return r.total_matched;
  if (r.traded_updates == 0) return r.first_total_matched;
  return rounded_traded_sum(std::array{&r.trd});
}

// The market's total from every runner's traded ladder, in the order the runners appeared,
// recomputed only after a change that carried "trd" for a known runner (books are built after
// every change, so the ladders are those of that change).
std::optional<double> market_total(MarketCache& cache, const SnapshotOptions& options) {
  if (!options.computed_market_tv) return cache.total_matched;
  if (cache.computed_total_stamp != cache.traded_updates) {
    std::vector<const PriceLadder*> ladders;
    ladders.reserve(cache.runners_in_order_of_appearance().size());
    for (const RunnerCache* r : cache.runners_in_order_of_appearance()) ladders.push_back(&r->trd);
    const auto total = rounded_traded_sum(ladders);
    if (!total) return total;
    cache.computed_total_matched = *total;
    cache.computed_total_stamp = cache.traded_updates;
  }
  return cache.computed_total_matched;
}

// The package's books give the removal date as a datetime, like every other time.
Ref removal_time(const std::optional<std::string>& text, SnapshotOptions::Times times) {
  if (times == SnapshotOptions::Times::kInterpreter || !text) return Ref();
  return definition_time(text, times == SnapshotOptions::Times::kAware);
}

PyObject* runner_object(MarketCache& cache, RunnerCache& r, const SnapshotOptions& options) {
  const std::uint64_t stamp = runner_stamp(r, options);
  if (r.runner_slot.object != nullptr && r.runner_slot.stamp == stamp) {
    return slot_object(r.runner_slot);
  }
  PyObject* back = ladder_readout(cache, r.atb_slot, r.atb, options);
  if (back == nullptr) return nullptr;
  PyObject* lay = ladder_readout(cache, r.atl_slot, r.atl, options);
  if (lay == nullptr) return nullptr;
  PyObject* traded = ladder_readout(cache, r.trd_slot, r.trd, options);
  if (traded == nullptr) return nullptr;
  Ref ex = make_exchange_prices(Ref::borrow(back), Ref::borrow(lay), Ref::borrow(traded));
  if (!ex) return nullptr;
  PyObject* spl = ladder_readout(cache, r.spl_slot, r.spl, options);
  if (spl == nullptr) return nullptr;
  PyObject* spb = ladder_readout(cache, r.spb_slot, r.spb, options);
  if (spb == nullptr) return nullptr;
  Ref removal = removal_time(r.removal_date, options.times);
  if (!removal && PyErr_Occurred()) return nullptr;
  const std::optional<double> total = runner_total(r, options);
  if (!total) return nullptr;
  Ref runner =
      make_runner(r, std::move(ex), Ref::borrow(spl), Ref::borrow(spb), std::move(removal), *total);
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

Ref publish_time_object(std::int64_t milliseconds, SnapshotOptions::Times times) {
  if (times == SnapshotOptions::Times::kInterpreter) return publish_time_to_datetime(milliseconds);
  return datetime_from_ms(milliseconds, times == SnapshotOptions::Times::kAware);
}

template <class Runners>
Ref runner_list(MarketCache& cache, const Runners& runners, const SnapshotOptions& options) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(runners.size())));
  if (!list) return list;
  Py_ssize_t i = 0;
  for (const auto& r : runners) {
    PyObject* runner = runner_object(cache, *r, options);
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
  Ref list = options.appearance_order
                 ? runner_list(cache, cache.runners_in_order_of_appearance(), options)
                 : runner_list(cache, cache.runners(), options);
  if (!list) return list;
  Ref definition = definition_object(cache, options);
  if (!definition && PyErr_Occurred()) return Ref();
  Ref publish_time = publish_time_object(cache.publish_time, options.times);
  if (!publish_time) return publish_time;
  const std::optional<double> total = market_total(cache, options);
  if (!total) return Ref();
  return make_market_book(cache, std::move(list), std::move(definition), std::move(publish_time),
                          *total);
}

}  // namespace vantrel::py
