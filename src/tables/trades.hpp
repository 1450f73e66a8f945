// The trades table: a row whenever a runner's traded volume at a price moves.
#pragma once

#include <memory>

#include "tables/book_sink.hpp"

namespace vantrel::tables {

std::unique_ptr<BookSink> make_trades_sink();

}  // namespace vantrel::tables
