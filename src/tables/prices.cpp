#include "tables/prices.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <span>
#include <string>

#include "base/platform.hpp"

namespace vantrel::tables {

namespace {

using Dictionary = std::shared_ptr<StringDictionary>;

Dictionary new_dictionary() {
  return std::make_shared<StringDictionary>();
}

// Before the first figure, starting prices come as texts such as "Infinity" and "NaN"; a text
// that is not a number has no value in a float column.
[[gnu::noinline]] std::optional<double> sp_text_number(const std::string& text) {
  // The two texts the stream sends, on most rows of some files, read without the parser.
  if (text == "NaN") return std::numeric_limits<double>::quiet_NaN();
  if (text == "Infinity") return std::numeric_limits<double>::infinity();
  double value = 0.0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec == std::errc() && ptr == end) return value;
  return std::nullopt;
}

// Every runner's row reads two of these: the common case, a number or nothing, stays inline.
std::optional<double> sp_number(const SpValue& sp) {
  if (sp.kind == SpValue::Kind::kNumber) return sp.number;
  if (sp.kind == SpValue::Kind::kText) return sp_text_number(sp.text);
  return std::nullopt;
}

// The columns every form starts a runner's row with.
struct RunnerKeyColumns {
  DictionaryColumn* market_id;
  BoolColumn* in_play;
  Int64Column* selection_id;
  Float64Column* handicap;

  void push(const BookKeys& book, const RunnerCache& runner) const {
    market_id->push_index(book.market_id);
    in_play->push(book.in_play);
    selection_id->push(runner.selection_id);
    handicap->push(runner.handicap);
  }
};

// Float columns written in place, a store a cell: a book's rows are reserved when it begins,
// and the columns learn their new length when it ends.
class FloatCells {
 public:
  std::size_t add(Float64Column* column) {
    columns_.push_back({column, nullptr, nullptr});
    return columns_.size() - 1;
  }
  void begin(std::size_t rows) {
    for (Cells& c : columns_) {
      c.values = c.column->reserve_in_place(rows);
      c.nulls = c.column->reserve_nulls_in_place(rows);
    }
  }
  void set(std::size_t j, std::size_t row, double value) { columns_[j].values[row] = value; }
  void set_null(std::size_t j, std::size_t row) {
    columns_[j].values[row] = 0.0;
    Validity::mark(columns_[j].nulls, row);
  }
  void set(std::size_t j, std::size_t row, const std::optional<double>& value) {
    if (value) {
      set(j, row, *value);
    } else {
      set_null(j, row);
    }
  }
  void end(std::size_t rows) {
    for (Cells& c : columns_) c.column->set_rows(rows);
  }

 private:
  struct Cells {
    Float64Column* column;
    double* values;
    std::uint64_t* nulls;
  };
  std::vector<Cells> columns_;
};

class BestForm final : public RowForm {
 public:
  BestForm(std::size_t depth, LadderChoice ladder, Dictionary ids, Dictionary market_statuses,
           Dictionary statuses)
      : depth_(depth),
        ladder_(ladder),
        ids_(ids),
        market_statuses_(market_statuses),
        statuses_(statuses) {
    market_id_ = &columns_.add<DictionaryColumn>("market_id", ids);
    time_ = &columns_.add<TimestampColumn>("publish_time");
    market_status_ = &columns_.add<DictionaryColumn>("market_status", market_statuses);
    in_play_ = &columns_.add<BoolColumn>("inplay");
    selection_id_ = &columns_.add<Int64Column>("selection_id");
    handicap_ = &columns_.add<Float64Column>("handicap");
    status_ = &columns_.add<DictionaryColumn>("status", statuses);
    ltp_ = add_float("last_price_traded");
    matched_ = add_float("total_matched");
    back_ = add_side("back");
    lay_ = add_side("lay");
    sp_near_ = add_float("sp_near");
    sp_far_ = add_float("sp_far");
  }

  std::unique_ptr<RowForm> empty_twin() const override {
    return std::make_unique<BestForm>(depth_, ladder_, ids_, market_statuses_, statuses_);
  }

  BookKeys book_keys(const MarketCache& market, std::int64_t time) override {
    if (!market.defined())
      return {ids_->intern(market.market_id), std::nullopt, time, std::nullopt};
    return {ids_->intern(market.market_id), market_statuses_->intern(market.status), time,
            market.in_play};
  }

  // A row is some twenty cells: room for rows is made a book at a time, not cell by cell, and
  // ahead of need, so that most books find it made. Rows that were cut or added from outside
  // since the last book (a grid's) void what was made.
  void begin_book(std::size_t runners) override {
    const std::size_t rows = market_id_->size();
    if (rows != rows_after_last_book_) reserved_ = 0;
    if (rows + runners <= reserved_) return;
    reserved_ = std::max(rows + runners, 2 * reserved_);
    columns_.reserve(reserved_);
    floats_.begin(reserved_);
  }

  void add_runner(const BookKeys& book, const RunnerCache& r) override {
    const std::size_t row = market_id_->size();
    market_id_->push_index_reserved(book.market_id);
    time_->push_reserved(book.time);
    if (book.market_status) {
      market_status_->push_index_reserved(*book.market_status);
    } else {
      market_status_->push_null_reserved();
    }
    in_play_->push(book.in_play);
    selection_id_->push_reserved(r.selection_id);
    handicap_->push_reserved(r.handicap);
    if (r.defined) {
      status_->push_index_reserved(status_->dictionary().intern(r.status));
    } else {
      status_->push_null_reserved();
    }
    floats_.set(ltp_, row, r.last_price_traded);
    floats_.set(matched_, row, r.total_matched);
    set_levels(back_levels(r, ladder_), back_, row);
    set_levels(lay_levels(r, ladder_), lay_, row);
    floats_.set(sp_near_, row, sp_number(r.near_price));
    floats_.set(sp_far_, row, sp_number(r.far_price));
  }

  void end_book() override {
    rows_after_last_book_ = market_id_->size();
    floats_.end(rows_after_last_book_);
  }

 private:
  std::size_t add_float(std::string name) {
    return floats_.add(&columns_.add<Float64Column>(std::move(name)));
  }

  // The cell of a side's first price; its size follows, then the next level's price.
  std::size_t add_side(const std::string& name) {
    const std::size_t first = add_float(name + "_price_1");
    add_float(name + "_size_1");
    for (std::size_t i = 2; i <= depth_; ++i) {
      add_float(name + "_price_" + std::to_string(i));
      add_float(name + "_size_" + std::to_string(i));
    }
    return first;
  }

  // Only the levels shown are read, however deep the ladder.
  void set_levels(std::span<const PriceSize> levels, std::size_t first, std::size_t row) {
    const std::size_t shown = std::min(depth_, levels.size());
    for (std::size_t i = 0; i < shown; ++i) {
      floats_.set(first + 2 * i, row, levels[i].price);
      floats_.set(first + 2 * i + 1, row, levels[i].size);
    }
    for (std::size_t i = 2 * shown; i < 2 * depth_; ++i) floats_.set_null(first + i, row);
  }

  std::size_t depth_;
  LadderChoice ladder_;
  Dictionary ids_, market_statuses_, statuses_;
  DictionaryColumn *market_id_, *market_status_, *status_;
  TimestampColumn* time_;
  BoolColumn* in_play_;
  Int64Column* selection_id_;
  Float64Column* handicap_;
  FloatCells floats_;
  std::size_t reserved_ = 0;
  std::size_t rows_after_last_book_ = 0;
  // Cells of floats_.
  std::size_t ltp_, matched_, back_, lay_, sp_near_, sp_far_;
};

// One row per ladder level, as betfairutil's full-ladder frame lays them out.
class LadderForm final : public RowForm {
 public:
  LadderForm(std::size_t depth, LadderChoice ladder, Dictionary ids, Dictionary sides)
      : depth_(depth), ladder_(ladder), ids_(ids), sides_(sides) {
    keys_.market_id = &columns_.add<DictionaryColumn>("market_id", ids);
    keys_.in_play = &columns_.add<BoolColumn>("inplay");
    keys_.selection_id = &columns_.add<Int64Column>("selection_id");
    keys_.handicap = &columns_.add<Float64Column>("handicap");
    side_ = &columns_.add<DictionaryColumn>("side", sides);
    level_ = &columns_.add<Int64Column>("depth");
    price_ = &columns_.add<Float64Column>("price");
    size_ = &columns_.add<Float64Column>("size");
    time_ = &columns_.add<TimestampColumn>("publish_time");
    back_ = sides_->intern("Back");
    lay_ = sides_->intern("Lay");
  }

  std::unique_ptr<RowForm> empty_twin() const override {
    return std::make_unique<LadderForm>(depth_, ladder_, ids_, sides_);
  }

  BookKeys book_keys(const MarketCache& market, std::int64_t time) override {
    return {ids_->intern(market.market_id), std::nullopt, time, in_play_said(market)};
  }

  void add_runner(const BookKeys& book, const RunnerCache& r) override {
    push_side(book, r, back_, back_levels(r, ladder_));
    push_side(book, r, lay_, lay_levels(r, ladder_));
  }

 private:
  void push_side(const BookKeys& book, const RunnerCache& r, std::int32_t side,
                 std::span<const PriceSize> levels) {
    const std::size_t shown = depth_ == 0 ? levels.size() : std::min(depth_, levels.size());
    for (std::size_t i = 0; i < shown; ++i) {
      keys_.push(book, r);
      side_->push_index(side);
      level_->push(static_cast<std::int64_t>(i));
      price_->push(levels[i].price);
      size_->push(levels[i].size);
      time_->push(book.time);
    }
  }

  std::size_t depth_;
  LadderChoice ladder_;
  Dictionary ids_, sides_;
  RunnerKeyColumns keys_{};
  DictionaryColumn* side_;
  Int64Column* level_;
  Float64Column *price_, *size_;
  TimestampColumn* time_;
  std::int32_t back_, lay_;
};

// One row per runner with its last price traded, as betfairutil's frame of that name.
class LastTradedForm final : public RowForm {
 public:
  explicit LastTradedForm(Dictionary ids) : ids_(ids) {
    keys_.market_id = &columns_.add<DictionaryColumn>("market_id", ids);
    keys_.in_play = &columns_.add<BoolColumn>("inplay");
    keys_.selection_id = &columns_.add<Int64Column>("selection_id");
    keys_.handicap = &columns_.add<Float64Column>("handicap");
    ltp_ = &columns_.add<Float64Column>("last_price_traded");
    time_ = &columns_.add<TimestampColumn>("publish_time");
  }

  std::unique_ptr<RowForm> empty_twin() const override {
    return std::make_unique<LastTradedForm>(ids_);
  }

  BookKeys book_keys(const MarketCache& market, std::int64_t time) override {
    return {ids_->intern(market.market_id), std::nullopt, time, in_play_said(market)};
  }

  void add_runner(const BookKeys& book, const RunnerCache& r) override {
    keys_.push(book, r);
    ltp_->push(r.last_price_traded);
    time_->push(book.time);
  }

 private:
  Dictionary ids_;
  RunnerKeyColumns keys_{};
  Float64Column* ltp_;
  TimestampColumn* time_;
};

// Writes a market's runners, or those that changed since their last row, into a form.
class RunnerWriter {
 public:
  explicit RunnerWriter(bool changed_only) : changed_only_(changed_only) {}

  void write(RowForm& form, MarketCache& market, std::int64_t time,
             PerRunner<RunnerStamp>& stamps) const {
    const BookKeys keys = form.book_keys(market, time);
    const std::vector<RunnerCache*>& runners = market.runners_in_order_of_appearance();
    form.begin_book(runners.size());
    for (const RunnerCache* r : runners) {
      if (changed_only_ && !stamps[r->serial].take(*r)) continue;
      form.add_runner(keys, *r);
    }
    form.end_book();
  }

 private:
  bool changed_only_;
};

// With an in-play state asked for, a book before the market's first definition is in neither.
bool in_play_kept(const PricesOptions& options, const MarketCache& market) {
  return !options.in_play || in_play_said(market) == options.in_play;
}

// A row per runner for every book.
class BookPrices final : public BookSink {
 public:
  explicit BookPrices(const PricesOptions& options)
      : options_(options), form_(make_row_form(options)), writer_(options.changed_only) {}

  void begin_recording(std::string_view) override { markets_.clear(); }

  void on_book(MarketCache& market) override {
    if (!in_play_kept(options_, market)) return;
    BookMarket& state = markets_.of(market);
    if (!options_.window.open()) {
      const std::optional<WindowSpan::Span> span = state.window.of(options_.window, market);
      if (!span || !span->holds(market.publish_time)) return;
    }
    writer_.write(*form_, market, market.publish_time, state.stamps);
  }

  std::vector<FinishedColumn> finish() override { return form_->columns().finish(); }

 private:
  struct BookMarket {
    PerRunner<RunnerStamp> stamps;
    WindowSpan window;
  };

  PricesOptions options_;
  std::unique_ptr<RowForm> form_;
  RunnerWriter writer_;
  PerMarket<BookMarket> markets_;
};

// The first multiple of `step` at or after `time`; none when it would pass the largest time a
// publish time can hold, which a damaged file can come close to.
std::optional<std::int64_t> first_grid_point(std::int64_t time, std::int64_t step) {
  const std::int64_t q = time / step;
  const std::int64_t down = (time % step != 0 && time < 0) ? q - 1 : q;
  if (down * step == time) return time;
  std::int64_t up = 0;
  if (base::mul_overflows(down + 1, step, up)) return std::nullopt;
  return up;
}

// The first point at or after `time` of the grid of `step` through `phase`; none past the
// times an int64 holds.
std::optional<std::int64_t> point_at_or_after(std::int64_t time, std::int64_t phase,
                                              std::int64_t step) {
  std::int64_t offset = 0;
  if (base::sub_overflows(time, phase, offset)) return std::nullopt;
  const std::optional<std::int64_t> first = first_grid_point(offset, step);
  std::int64_t point = 0;
  if (!first || base::add_overflows(*first, phase, point)) return std::nullopt;
  return point;
}

// Rows at every multiple of a step from a market's first book to its last, each showing the
// last book at or before it. A grid point is written just before the first message published
// after it, when the caches still hold that book; whether the market has another book after it
// is known only later, so each market collects its rows apart and the ones past its last book
// are cut at the end of the recording.
//
// With a window that has a start, the points are laid from the window's start rather than the
// epoch, so that they fall on whole steps before or after the off; the market time in force
// decides where, and a market put back has its points laid again from its new time on.
class GridPrices final : public BookSink {
 public:
  explicit GridPrices(const PricesOptions& options)
      : options_(options), form_(make_row_form(options)), writer_(options.changed_only) {}

  void begin_recording(std::string_view) override { grids_.clear(); }

  void before_message(std::int64_t time, const replay::MultiMarketReplay& replay) override {
    for (std::size_t i = 0; i < grids_.size(); ++i) {
      Grid& grid = grids_[i];
      if (grid.at.ended || grid.at.next >= time) continue;
      MarketCache* market = replay.find(grids_.id(i));
      if (market != nullptr) write_until(grid, *market, time - 1);
    }
  }

  void on_book(MarketCache& market) override {
    Grid& grid = grids_.of(market);
    if (!grid.form) {
      grid.form = form_->empty_twin();
      const std::optional<std::int64_t> first = first_grid_point(market.publish_time, step());
      grid.at.next = first.value_or(0);
      grid.at.ended = !first;
      grid.at.from = market.publish_time;
    }
    // Points before this book show the state before it, and are written.
    grid.at.from = std::max(grid.at.from, market.publish_time);
    // A book that moves the market time lays the points anew from itself on, before the next
    // message asks which of them are due.
    if (options_.window.start_ms) {
      if (const std::optional<WindowSpan::Span> span = grid.window.of(options_.window, market)) {
        lay_from(grid.at, span->first);
      }
    }
    // Every row so far is at a point before this book, so it stays whatever comes later.
    grid.kept_rows = grid.form->columns().rows();
    grid.kept = grid.at;
    grid.last_book = market.publish_time;
  }

  void end_recording(const replay::MultiMarketReplay& replay, std::int64_t grid_until) override {
    for (std::size_t i = 0; i < grids_.size(); ++i) {
      Grid& grid = grids_[i];
      grid.form->columns().truncate(grid.kept_rows);
      grid.at = grid.kept;
      MarketCache* market = replay.find(grids_.id(i));
      if (market != nullptr) write_until(grid, *market, std::min(grid.last_book, grid_until));
      form_->columns().append(grid.form->columns());
    }
    grids_.clear();
  }

  std::vector<FinishedColumn> finish() override { return form_->columns().finish(); }

  std::int64_t grid_reach() const override {
    std::int64_t reach = 0;
    return __builtin_mul_overflow(step(), kGridReachPoints, &reach) ? INT64_MAX : reach;
  }

 private:
  // Points a grid may always make past the times before a message: a recording of a few
  // sparse messages keeps its grid, while a damaged time cannot make one fill decades.
  static constexpr std::int64_t kGridReachPoints = 10'000;

  // Where a market's grid stands.
  struct Cursor {
    std::int64_t next = 0;
    // No point before this time is left to write: points laid again start here.
    std::int64_t from = 0;
    // Where the points are laid from, once a window's start has placed them.
    std::optional<std::int64_t> phase;
    // No point is left before the largest time: stepping on would overflow.
    bool ended = false;
  };

  struct Grid {
    std::unique_ptr<RowForm> form;
    PerRunner<RunnerStamp> stamps;
    WindowSpan window;
    Cursor at;
    std::int64_t last_book = 0;
    std::size_t kept_rows = 0;
    Cursor kept;
  };

  std::int64_t step() const { return *options_.every_ms; }

  // Writes the grid points up to and including `until` from the market as it stands.
  void write_until(Grid& grid, MarketCache& market, std::int64_t until) {
    if (options_.window.open()) {
      write_points(grid, market, until);
      return;
    }
    // The market stands as it is at every one of these points: one span holds for them all.
    if (const std::optional<WindowSpan::Span> span = grid.window.of(options_.window, market)) {
      if (options_.window.start_ms) {
        lay_from(grid.at, span->first);
        if (!grid.at.ended && grid.at.next < span->first) grid.at.next = span->first;
      }
      write_points(grid, market, std::min(until, span->last));
    }
    pass(grid.at, until);
  }

  void write_points(Grid& grid, MarketCache& market, std::int64_t until) {
    for (; !grid.at.ended && grid.at.next <= until;
         grid.at.ended = base::add_overflows(grid.at.next, step(), grid.at.next)) {
      if (!in_play_kept(options_, market)) continue;
      writer_.write(*grid.form, market, grid.at.next, grid.stamps);
    }
  }

  // Lays the points from `phase` on, from the first not yet passed.
  void lay_from(Cursor& at, std::int64_t phase) const {
    if (at.ended || at.phase == phase) return;
    at.phase = phase;
    const std::optional<std::int64_t> next = point_at_or_after(at.from, phase, step());
    at.next = next.value_or(0);
    at.ended = !next;
  }

  // Moves past every point up to `until`, written or not.
  void pass(Cursor& at, std::int64_t until) const {
    if (at.ended) return;
    std::int64_t after = 0;
    if (base::add_overflows(until, std::int64_t{1}, after)) {
      at.ended = true;
      return;
    }
    at.from = std::max(at.from, after);
    if (at.next > until) return;
    const std::optional<std::int64_t> next = point_at_or_after(after, at.phase.value_or(0), step());
    at.next = next.value_or(0);
    at.ended = !next;
  }

  PricesOptions options_;
  std::unique_ptr<RowForm> form_;
  RunnerWriter writer_;
  PerMarket<Grid> grids_;
};

}  // namespace

std::unique_ptr<RowForm> make_row_form(const PricesOptions& options) {
  switch (options.form) {
    case PricesOptions::Form::kLadder:
      return std::make_unique<LadderForm>(options.depth, options.ladder, new_dictionary(),
                                          new_dictionary());
    case PricesOptions::Form::kLastPriceTraded:
      return std::make_unique<LastTradedForm>(new_dictionary());
    case PricesOptions::Form::kBest:
      break;
  }
  return std::make_unique<BestForm>(options.depth, options.ladder, new_dictionary(),
                                    new_dictionary(), new_dictionary());
}

std::unique_ptr<BookSink> make_prices_sink(const PricesOptions& options) {
  if (options.every_ms) return std::make_unique<GridPrices>(options);
  return std::make_unique<BookPrices>(options);
}

}  // namespace vantrel::tables
