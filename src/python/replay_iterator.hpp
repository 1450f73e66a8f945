// The package's replay: books of every market of every recording a source holds.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python/ref.hpp"
#include "python/snapshot.hpp"
#include "replay/multi_market_replay.hpp"

namespace vantrel::py {

extern PyType_Spec replay_iterator_spec;

struct ReplaySettings {
  replay::MarketFilter filter;
  SnapshotOptions snapshot;
  std::uint64_t max_recording_bytes;
  // Recordings loaded side by side ahead of the replay (see RecordingFeed).
  std::size_t threads = 1;
  // Yield (recording number, [books]) per message that changed a kept market, instead of
  // the books one by one: what a stream listener gets, message by message.
  bool per_message = false;
  // Owns what snapshot.price_ladder_description borrows.
  Ref price_ladder_description;
  // Called once a whole run is done with the names of the filter keys no market met (see
  // report_unmatched); None for no report.
  Ref unmatched;
  // Totals computed from the traded ladders (TradedTotals): the market's, the runners'.
  bool computed_market_tv = false;
  bool cumulative_runner_tv = false;
  // The caller tells, after each message's books, which of them its listener left out
  // (ReplayIterator.left_out); the computed totals follow what it let through.
  bool activity = false;
};

// `inputs` is an iterator of (label, payload) pairs, a payload being a path (str) or an object
// with the buffer protocol. `on_error(label, member, text)` is called for every recording that
// cannot be read, before anything of it is yielded; it raises to stop the replay.
Ref make_replay_iterator(PyTypeObject* type, Ref inputs, Ref on_error, ReplaySettings settings);

}  // namespace vantrel::py
