#include "python/traded_totals.hpp"

#include "python/ref.hpp"

namespace vantrel::py {

namespace {

void append_sizes(std::vector<double>& out, const PriceLadder& ladder) {
  for (const PriceSize& level : ladder.levels()) out.push_back(level.size);
}

// round(sum(sizes), 2) by the interpreter's own sum and round: since 3.12 a sum of floats is
// compensated, and only the interpreter's own gives the very same number on every version.
std::optional<double> rounded_sum(const std::vector<double>& sizes) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(sizes.size())));
  if (!list) return std::nullopt;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    PyObject* size = PyFloat_FromDouble(sizes[i]);
    if (size == nullptr) return std::nullopt;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), size);
  }
  PyObject* sum = PyDict_GetItemString(PyEval_GetBuiltins(), "sum");  // borrowed
  if (sum == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the builtin sum is missing");
    return std::nullopt;
  }
  Ref total = Ref::steal(PyObject_CallOneArg(sum, list.get()));
  if (!total) return std::nullopt;
  Ref rounded = Ref::steal(PyObject_CallMethod(total.get(), "__round__", "i", 2));
  if (!rounded) return std::nullopt;
  const double value = PyFloat_AsDouble(rounded.get());
  if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
  return value;
}

std::optional<double> rounded_ladder_sum(const PriceLadder& ladder) {
  std::vector<double> sizes;
  sizes.reserve(ladder.size());
  append_sizes(sizes, ladder);
  return rounded_sum(sizes);
}

}  // namespace

TradedTotals::Market& TradedTotals::market_of(const MarketCache& cache) {
  Market& m = markets_[cache.market_id];
  if (m.images != cache.images) {  // an image starts the market afresh
    m = Market{};
    m.images = cache.images;
  }
  return m;
}

// A runner met for the first time: its list is that of the change that made it, or empty when
// a definition made it and "trd" came after, in the same change.
TradedTotals::Runner& TradedTotals::runner_of(Market& market, const RunnerCache& runner) {
  auto [it, added] = market.runners.try_emplace(runner.serial);
  if (added && runner.traded_updates == 0) append_sizes(it->second.listed, runner.trd);
  return it->second;
}

std::optional<double> TradedTotals::market_total(const MarketCache& cache) {
  Market& m = market_of(cache);
  if (m.seen_updates != cache.traded_updates) {
    std::vector<double> sizes;
    for (const RunnerCache* r : cache.runners_in_order_of_appearance()) append_sizes(sizes, r->trd);
    const auto total = rounded_sum(sizes);
    if (!total) return total;
    m.total = *total;
    m.seen_updates = cache.traded_updates;
  }
  return m.total;
}

std::optional<double> TradedTotals::runner_total(const MarketCache& cache,
                                                 const RunnerCache& runner) {
  Runner& r = runner_of(market_of(cache), runner);
  if (r.seen_updates != runner.traded_updates) {
    const auto total = rounded_ladder_sum(runner.trd);
    if (!total) return total;
    r.total = *total;
    r.seen_updates = runner.traded_updates;
  }
  return r.total ? *r.total : runner.first_total_matched;
}

std::uint64_t TradedTotals::runner_revision(const MarketCache& cache, const RunnerCache& runner) {
  return runner_of(market_of(cache), runner).revision;
}

bool TradedTotals::settle(const MarketCache& cache, bool let_through) {
  Market& m = market_of(cache);
  // Let through again, the cache brings every list up to date before the change.
  const bool refresh = let_through && !m.let_through;
  for (const RunnerCache* runner : cache.runners_in_order_of_appearance()) {
    Runner& r = runner_of(m, *runner);
    const bool traded = r.settled_updates != runner->traded_updates;
    r.settled_updates = runner->traded_updates;
    if (let_through) {
      if (traded || refresh) {
        r.listed.clear();
        append_sizes(r.listed, runner->trd);
      }
    } else if (traded && runners_) {
      const auto total = rounded_sum(r.listed);
      if (!total) return false;
      r.total = *total;
      r.seen_updates = runner->traded_updates;
      ++r.revision;
    }
  }
  if (!let_through && market_ && m.settled_updates != cache.traded_updates) {
    std::vector<double> sizes;
    for (const RunnerCache* runner : cache.runners_in_order_of_appearance()) {
      const Runner& r = m.runners[runner->serial];
      sizes.insert(sizes.end(), r.listed.begin(), r.listed.end());
    }
    const auto total = rounded_sum(sizes);
    if (!total) return false;
    m.total = *total;
    m.seen_updates = cache.traded_updates;
  }
  m.settled_updates = cache.traded_updates;
  m.let_through = let_through;
  return true;
}

}  // namespace vantrel::py
