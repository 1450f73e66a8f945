// The snapshot classes: MarketBook, Runner, ExchangePrices, StartingPrices, PriceSize.
//
// Each class is a struct with its C++ fields in `fields`, constructed in place after the
// interpreter allocates the object; its getters and spec live in py_snapshot.cpp.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "lib/pyref.hpp"
#include "market/market_cache.hpp"
#include "market/price_ladder.hpp"

namespace vantrel::py {

struct StartingPriceData {
  SpValue near_price;
  SpValue far_price;
  SpValue actual_sp;
  // Read-outs (read_out_ladder) of the spl and spb ladders.
  Ref back_stake_taken;
  Ref lay_liability_taken;
};

struct PriceSizeObject {
  PyObject_HEAD
  struct {
    double price;
    double size;
  } fields;
};

struct ExchangePricesObject {
  PyObject_HEAD
  struct Fields {
    // Ladder read-outs (read_out_ladder); the getters hand out their lists.
    Ref available_to_back;
    Ref available_to_lay;
    Ref traded_volume;
  } fields;
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
    Ref ex;
    StartingPriceData sp;
  } fields;
};

struct MarketBookObject {
  PyObject_HEAD
  struct Fields {
    std::string market_id;
    std::string status;
    Ref publish_time;
    std::int64_t publish_time_epoch;
    std::int64_t version;
    double total_matched;
    std::optional<std::int64_t> last_match_time;
    std::int32_t bet_delay;
    std::int32_t number_of_active_runners;
    std::int32_t number_of_runners;
    std::int32_t number_of_winners;
    bool bsp_reconciled;
    bool complete;
    bool cross_matching;
    bool inplay;
    bool runners_voidable;
    Ref runners;
    Ref market_definition;  // empty: None
    std::optional<std::int32_t> streaming_unique_id;
  } fields;
};

PyTypeObject* market_book_type();
PyTypeObject* runner_type();
PyTypeObject* exchange_prices_type();
PyTypeObject* starting_prices_type();
PyTypeObject* price_size_type();

// A new list of new PriceSize objects, one per level, in the same order.
Ref create_price_list(std::span<const PriceSize> levels);
// A copy of the ladder's levels in read-out order, from which price_list makes the list.
Ref read_out_ladder(const PriceLadder& ladder);
// The read-out's list of PriceSize objects, made on the first call and the same one after.
Ref price_list(const Ref& readout);
// The levels a read-out holds (none for an empty Ref).
std::span<const PriceSize> readout_levels(const Ref& readout);
// A new Runner for the runner's current state, holding `ex` and the read-outs of its
// starting-price ladders.
Ref make_runner(const RunnerCache& runner, Ref ex, Ref spl, Ref spb);
Ref make_exchange_prices(Ref back, Ref lay, Ref traded);
// A new MarketBook from the cache's market fields.
Ref make_market_book(const MarketCache& cache, Ref runners, Ref definition, Ref publish_time);

// Defined with the dict export.
PyObject* market_book_to_dict(PyObject* self, PyObject* unused);

}  // namespace vantrel::py
