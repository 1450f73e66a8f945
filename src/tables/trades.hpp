// The trades table: a row whenever a runner's traded volume at a price moves.
#pragma once

#include <memory>

#include "tables/book_sink.hpp"
#include "tables/window.hpp"

namespace vantrel::tables {

// Rows only within `window` of each market's start; what was matched is still followed outside
// it, so that a row's delta is what was matched since the change before it, in the window or not.
std::unique_ptr<BookSink> make_trades_sink(const Window& window = {});

}  // namespace vantrel::tables
