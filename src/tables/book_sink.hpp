// What the replay step feeds a table with: every book of every kept market, in file order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "market/market_cache.hpp"
#include "messages/message_store.hpp"
#include "replay/multi_market_replay.hpp"
#include "sources/recording_reader.hpp"
#include "tables/columns.hpp"

namespace vantrel::tables {

// Where a recording came from, for a sink that names it field by field: its file, its archive
// member ("" for none), and where its stored bytes lie in the file when they can be read back
// from there alone.
struct RecordingPlace {
  std::string_view file;
  std::string_view member;
  std::optional<sources::StoredBytes> stored;
};

// The in-play state a definition has said: none before the market's first, as the ecosystem's
// stream caches show it.
inline std::optional<bool> in_play_said(const MarketCache& market) {
  if (!market.defined()) return std::nullopt;
  return market.in_play;
}

class BookSink {
 public:
  virtual ~BookSink() = default;
  // Before begin_recording, when the caller knows more of the recording than its name.
  virtual void place_recording(const RecordingPlace& place) { (void)place; }
  // `source` names the recording: its file, and its archive member if any.
  virtual void begin_recording(std::string_view source) { (void)source; }
  // Before a message is applied: the caches still hold the state every earlier message left.
  // `grid_until` is its publish time, or less where that time is not to be trusted for
  // filling the time before it (see feed_recording).
  virtual void before_message(std::int64_t grid_until, const replay::MultiMarketReplay& replay) {
    (void)grid_until;
    (void)replay;
  }
  // A book: the market's state right after a message changed it.
  virtual void on_book(MarketCache& market) = 0;
  // The recording's caches as its last message left them; `grid_until` is as far as its times
  // are trusted.
  virtual void end_recording(const replay::MultiMarketReplay& replay, std::int64_t grid_until) {
    (void)replay;
    (void)grid_until;
  }
  virtual std::vector<FinishedColumn> finish() = 0;
  // How far past a recording's earlier times a grid may always fill, however short their span
  // (see feed_recording); sinks without a grid have none.
  virtual std::int64_t grid_reach() const { return 0; }
};

// Replays every message of one recording into `sink`, from begin_recording to end_recording;
// gives the filter keys that some market of the recording met.
// The changes of the markets in `read_elsewhere` (may be null) are passed over.
replay::FilterKeys feed_recording(const MessageStore& store, const replay::MarketFilter& filter,
                                  std::string_view source, BookSink& sink,
                                  const std::unordered_set<std::string>* read_elsewhere = nullptr);

// The markets of one recording numbered in the order of their first book.
class MarketOrder {
 public:
  std::size_t index_of(const MarketCache& market);
  const std::vector<std::string>& ids() const { return ids_; }
  std::size_t size() const { return ids_.size(); }
  void clear();

 private:
  std::unordered_map<std::string, std::size_t> index_;
  std::vector<std::string> ids_;
  std::size_t last_ = 0;
};

// Something kept per market of one recording, in the order of the markets' first books.
template <class T>
class PerMarket {
 public:
  // The state of a book's market, made (value-initialised) at its first book.
  T& of(const MarketCache& market) {
    const std::size_t index = order_.index_of(market);
    if (index == states_.size()) states_.emplace_back();
    return states_[index];
  }
  std::size_t size() const { return states_.size(); }
  T& operator[](std::size_t i) { return states_[i]; }
  const std::string& id(std::size_t i) const { return order_.ids()[i]; }
  void clear() {
    order_.clear();
    states_.clear();
  }

 private:
  MarketOrder order_;
  std::vector<T> states_;
};

// Something kept per runner of one market, found by the runner's serial in constant time.
template <class T>
class PerRunner {
 public:
  T& operator[](std::uint64_t serial) {
    if (serial >= items_.size()) items_.resize(serial + 1);
    return items_[serial];
  }

 private:
  std::vector<T> items_;
};

// A stamp that tells whether a runner changed since it was last looked at: the runner's serial
// keeps a runner made anew after an image apart from its predecessor.
struct RunnerStamp {
  std::uint64_t counter = 0;
  bool seen = false;

  // True, and the stamp taken, when the runner changed since the last call.
  bool take(const RunnerCache& runner) {
    if (seen && counter == runner.change_counter) return false;
    seen = true;
    counter = runner.change_counter;
    return true;
  }
};

}  // namespace vantrel::tables
