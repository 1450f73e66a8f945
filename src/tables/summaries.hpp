// One row per market, and one per market and runner, from what a recording left behind.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "tables/book_sink.hpp"

namespace vantrel::tables {

std::unique_ptr<BookSink> make_market_summaries_sink();

// `offsets_s`: seconds before the market time at which the best prices are taken.
std::unique_ptr<BookSink> make_runner_summaries_sink(std::vector<std::int64_t> offsets_s);

}  // namespace vantrel::tables
