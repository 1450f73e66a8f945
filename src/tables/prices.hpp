// The prices table: one row per book and runner (best prices, or the last price traded), or
// one per book, runner, side and ladder level; per book, or sampled on a time grid.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "tables/book_sink.hpp"
#include "tables/window.hpp"

namespace vantrel::tables {

struct PricesOptions {
  enum class Form : std::uint8_t { kBest, kLadder, kLastPriceTraded };
  Form form = Form::kBest;
  // Levels per side: the columns of the best form, the rows of the ladder form (0: all).
  std::size_t depth = 3;
  // Only books with this in-play state.
  std::optional<bool> in_play;
  // Sample on a grid of this step instead of writing every book.
  std::optional<std::int64_t> every_ms;
  // Only the runners that changed since their last row.
  bool changed_only = false;
  // Which ladder the best and ladder forms read.
  LadderChoice ladder = LadderChoice::kHandOut;
  // Only rows this near each market's start; a grid's points then fall on the window's start.
  Window window;
};

// What a row takes from the book as a whole, looked up once per book. The market's status and
// in-play state are none before its first definition: nothing has said them yet.
struct BookKeys {
  std::int32_t market_id;
  std::optional<std::int32_t> market_status;
  std::int64_t time;
  std::optional<bool> in_play;
};

// The columns of one form and how a runner fills them.
class RowForm {
 public:
  virtual ~RowForm() = default;
  // A form with no rows whose dictionaries are this one's, so that the two can be joined.
  virtual std::unique_ptr<RowForm> empty_twin() const = 0;
  virtual BookKeys book_keys(const MarketCache& market, std::int64_t time) = 0;
  // Called before the runners of a book are added, with how many there are at most.
  virtual void begin_book(std::size_t runners) { (void)runners; }
  // Called once the runners of a book are added.
  virtual void end_book() {}
  virtual void add_runner(const BookKeys& book, const RunnerCache& runner) = 0;
  ColumnSet& columns() { return columns_; }

 protected:
  ColumnSet columns_;
};

std::unique_ptr<RowForm> make_row_form(const PricesOptions& options);

std::unique_ptr<BookSink> make_prices_sink(const PricesOptions& options);

}  // namespace vantrel::tables
