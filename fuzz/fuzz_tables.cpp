// The table builders over whatever the package's load keeps: every form of the prices table
// (per book, on a time grid, changed runners only, in play only), trades and both summaries, fed
// by the multi-market replay step. Besides crashes this checks that what is handed to Arrow is a
// valid layout: columns of one length, buffers long enough for their rows, null counts that
// match the bitmaps, dictionary indices and list offsets inside their children.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "check.hpp"
#include "messages/message_store.hpp"
#include "stored_lines.hpp"
#include "tables/prices.hpp"
#include "tables/summaries.hpp"
#include "tables/trades.hpp"

using namespace vantrel;
using namespace vantrel::tables;

namespace {

const std::uint8_t* bytes_of(const std::optional<Buffer>& b) {
  return static_cast<const std::uint8_t*>(b->data);
}

std::int64_t nulls_in(const std::optional<Buffer>& validity, std::int64_t length) {
  if (!validity) return 0;
  const auto rows = static_cast<std::size_t>(length);
  FUZZ_CHECK(validity->size >= (rows + 7) / 8);
  std::int64_t nulls = 0;
  for (std::size_t i = 0; i < rows; ++i) nulls += ((bytes_of(validity)[i / 8] >> (i % 8)) & 1) == 0;
  return nulls;
}

template <class T>
const T* values_of(const std::optional<Buffer>& b, std::int64_t count) {
  FUZZ_CHECK(b.has_value());
  FUZZ_CHECK(b->size >= static_cast<std::size_t>(count) * sizeof(T));
  return static_cast<const T*>(b->data);
}

// Offsets that start at 0, never go back and end inside `limit` values.
void check_offsets(const std::int32_t* offsets, std::int64_t count, std::int64_t limit) {
  FUZZ_CHECK(offsets[0] == 0);
  for (std::int64_t i = 0; i < count; ++i) FUZZ_CHECK(offsets[i] <= offsets[i + 1]);
  FUZZ_CHECK(offsets[count] <= limit);
}

void check_column(const FinishedColumn& c, std::int64_t rows) {
  FUZZ_CHECK(c.length == rows);
  FUZZ_CHECK(c.buffers.size() == 2);
  FUZZ_CHECK(c.null_count == nulls_in(c.buffers[0], c.length));
  switch (c.kind) {
    case ColumnKind::kFloat64:
    case ColumnKind::kInt64:
    case ColumnKind::kTimestampMs:
      values_of<std::int64_t>(c.buffers[1], c.length);
      break;
    case ColumnKind::kBool:
      FUZZ_CHECK(c.buffers[1]->size >= static_cast<std::size_t>((c.length + 7) / 8));
      break;
    case ColumnKind::kDictionary: {
      const auto* indices = values_of<std::int32_t>(c.buffers[1], c.length);
      for (std::int64_t i = 0; i < c.length; ++i) {
        const bool valid = !c.buffers[0] || ((bytes_of(c.buffers[0])[i / 8] >> (i % 8)) & 1);
        if (valid) FUZZ_CHECK(indices[i] >= 0 && indices[i] < c.child_length);
      }
      FUZZ_CHECK(c.child_buffers.size() == 3 && !c.child_buffers[0]);
      const auto* offsets = values_of<std::int32_t>(c.child_buffers[1], c.child_length + 1);
      check_offsets(offsets, c.child_length, static_cast<std::int64_t>(c.child_buffers[2]->size));
      break;
    }
    case ColumnKind::kListInt64: {
      const auto* offsets = values_of<std::int32_t>(c.buffers[1], c.length + 1);
      check_offsets(offsets, c.length, c.child_length);
      values_of<std::int64_t>(c.child_buffers.at(1), c.child_length);
      break;
    }
  }
}

void run(const MessageStore& store, BookSink& sink, const replay::MarketFilter& filter = {}) {
  feed_recording(store, filter, "fuzz", sink);
  const std::vector<FinishedColumn> columns = sink.finish();
  FUZZ_CHECK(!columns.empty());
  for (const FinishedColumn& c : columns) check_column(c, columns.front().length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MessageStore store;
  store_lines(data, size, store, true);

  // A grid over a recording spanning centuries is as many rows as asked for; keep it to about
  // a thousand points so that an input is judged on its layout, not on running out of memory.
  std::int64_t first = std::numeric_limits<std::int64_t>::max(), last = 0;
  for (const ParsedMessage& m : store.messages()) {
    // the tables write these as timestamps that every reader must take as datetimes
    FUZZ_CHECK(m.publish_time() >= 1 && m.publish_time() <= kLastPublishTime);
    first = std::min(first, m.publish_time());
    last = std::max(last, m.publish_time());
  }
  const std::int64_t span = last > first ? last - first : 0;
  const std::int64_t step = std::max<std::int64_t>(1, span / 1000 + 1);

  using Form = PricesOptions::Form;
  const PricesOptions prices[] = {
      {.form = Form::kBest, .depth = 3},
      {.form = Form::kBest, .depth = 2, .every_ms = step, .changed_only = true},
      {.form = Form::kLadder, .depth = 0, .in_play = true},
      {.form = Form::kLastPriceTraded, .depth = 0, .every_ms = step},
      // a grid laid from a window's start, which moves with every definition's market time
      {.form = Form::kBest, .depth = 1, .every_ms = step, .window = {-100 * step, 100 * step}},
  };
  for (const PricesOptions& options : prices) run(store, *make_prices_sink(options));
  run(store, *make_trades_sink());
  run(store, *make_trades_sink({std::nullopt, 0}));
  // Markets judged by their definitions: some kept, some dropped along the way.
  replay::MarketFilter filter;
  filter.keep_texts(replay::FilterKey::kMarketTypes, {"WIN", "PLACE"});
  filter.keep_flag(replay::FilterKey::kBspMarket, true);
  run(store, *make_prices_sink(prices[1]), filter);
  run(store, *make_market_summaries_sink(), filter);
  run(store, *make_market_summaries_sink());
  run(store, *make_runner_summaries_sink({0, 60, 3600}));
  return 0;
}
