// The market definition classes: MarketDefinition and MarketDefinitionRunner.
#pragma once

#include <Python.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "market/market_cache.hpp"
#include "python/ref.hpp"
#include "python/snapshot.hpp"

namespace vantrel::py {

struct MarketDefinitionRunnerObject {
  PyObject_HEAD
  struct Fields : MarketDefinitionRunner {
    // The package's books: the removal date as a datetime, handed out instead of the text.
    Ref removal_time;
  } fields;
};

struct MarketDefinitionObject {
  PyObject_HEAD
  struct Fields {
    std::optional<double> each_way_divisor;
    std::vector<std::string> regulators;
    std::string status;
    std::optional<std::string> event_id, event_type_id, event_name, market_type, country_code,
        venue, race_type, name, timezone, betting_type;
    // The time texts as received, for the dict export.
    std::optional<std::string> market_time_raw, open_date_raw, suspend_time_raw;
    Ref runners;
    Ref market_time, open_date, suspend_time, settled_time;
    Ref bet_delay_models;         // empty: None
    Ref price_ladder_definition;  // empty: None
    double market_base_rate;
    std::int64_t version;
    std::int32_t bet_delay;
    std::int32_t number_of_winners;
    std::int32_t number_of_active_runners;
    bool bsp_market, persistence_enabled, turn_in_play_enabled, discount_allowed, bsp_reconciled,
        complete, cross_matching, in_play, runners_voidable;
  } fields;
  static std::array<Ref*, 7> refs(Fields& f) {
    return {&f.runners,
            &f.market_time,
            &f.open_date,
            &f.suspend_time,
            &f.settled_time,
            &f.bet_delay_models,
            &f.price_ladder_definition};
  }
};

extern PyType_Spec market_definition_spec;
extern PyType_Spec market_definition_runner_spec;

// A new MarketDefinition from the cache's definition fields: its runner objects first, then
// the four times, in the order the stream defines them. Fails if a time cannot be converted.
Ref make_market_definition(const MarketCache& cache, const SnapshotOptions& options);

}  // namespace vantrel::py
