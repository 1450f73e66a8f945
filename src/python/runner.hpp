// Runner and the two objects it hands out: ExchangePrices and StartingPrices.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "market/market_cache.hpp"
#include "python/ref.hpp"

namespace vantrel::py {

struct StartingPriceData {
  SpValue near_price;
  SpValue far_price;
  SpValue actual_sp;
  // Read-outs (read_out_ladder) of the spl and spb ladders.
  Ref back_stake_taken;
  Ref lay_liability_taken;
};

struct ExchangePricesObject {
  PyObject_HEAD
  struct Fields {
    // Ladder read-outs (read_out_ladder); the getters hand out their lists.
    Ref available_to_back;
    Ref available_to_lay;
    Ref traded_volume;
  } fields;
  static std::array<Ref*, 3> refs(Fields& f) {
    return {&f.available_to_back, &f.available_to_lay, &f.traded_volume};
  }
};

struct StartingPricesObject {
  PyObject_HEAD
  StartingPriceData fields;
};

struct RunnerObject {
  PyObject_HEAD
  struct Fields {
    std::int64_t selection_id;
    double handicap;
    std::optional<double> adjustment_factor;
    std::optional<double> last_price_traded;
    double total_matched;
    Ref status;
    std::optional<std::string> removal_date;
    // The package's books: the removal date as a datetime, handed out instead of the text
    // (which the dict export keeps).
    Ref removal_time;
    Ref ex;
    StartingPriceData sp;
  } fields;
  static std::array<Ref*, 5> refs(Fields& f) {
    return {&f.status, &f.removal_time, &f.ex, &f.sp.back_stake_taken, &f.sp.lay_liability_taken};
  }
};

extern PyType_Spec exchange_prices_spec;
extern PyType_Spec starting_prices_spec;
extern PyType_Spec runner_spec;

Ref make_exchange_prices(Ref back, Ref lay, Ref traded);
// A new Runner for the runner's current state, holding `ex` and the read-outs of its
// starting-price ladders; `removal_time` (may be empty) is the removal date as a datetime, and
// `total_matched` the total to show. Without `defined`, what a definition gives the runner
// (status, adjustment factor, removal date, starting price) is None.
Ref make_runner(const RunnerCache& runner, Ref ex, Ref spl, Ref spb, Ref removal_time,
                double total_matched, bool defined);

}  // namespace vantrel::py
