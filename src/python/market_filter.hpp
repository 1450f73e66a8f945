// The package's market filter handed to the engine, and what the engine tells of it at the end
// of a run: which of its keys no market met.
#pragma once

#include <Python.h>

#include "python/ref.hpp"
#include "replay/multi_market_replay.hpp"

namespace vantrel::py {

// `filter` is None or a dict of the filter's keys as the package names them ("markets",
// "event_ids", ..., "bsp_market") to a list of str, or a bool for the two flags. False with
// TypeError for anything else.
bool read_market_filter(PyObject* filter, replay::MarketFilter& out);

// At the end of a whole run: calls `report(names)` with the names of the keys given that no
// market met, when there are any and `report` is not None. False with an exception set when
// it raised.
bool report_unmatched(PyObject* report, const replay::MarketFilter& filter,
                      replay::FilterKeys matched);

}  // namespace vantrel::py
