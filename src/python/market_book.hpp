// MarketBook: one snapshot of a market.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "market/market_cache.hpp"
#include "python/ref.hpp"
#include "python/snapshot.hpp"

namespace vantrel::py {

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
    // False: made before the market's first definition by a replay that shows what no
    // definition has said as None (SnapshotOptions::undefined_as_none); the fields a
    // definition sets are then None.
    bool defined;
    Ref runners;
    Ref market_definition;        // empty: None
    Ref price_ladder_definition;  // empty: None; the definition's
    std::optional<std::int32_t> streaming_unique_id;
  } fields;
  static std::array<Ref*, 4> refs(Fields& f) {
    return {&f.publish_time, &f.runners, &f.market_definition, &f.price_ladder_definition};
  }
};

extern PyType_Spec market_book_spec;

// A new MarketBook from the cache's market fields as `options` show them, with
// `total_matched`.
Ref make_market_book(const MarketCache& cache, Ref runners, Ref definition, Ref publish_time,
                     double total_matched, const SnapshotOptions& options);

}  // namespace vantrel::py
