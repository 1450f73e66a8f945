// Deciding early what a filtered run will not keep, so that it is never decoded.
//
// The exchange's archives hold one file per market, named by its id (".../1.234567890.bz2").
// Such a recording holds that market alone: what the filter says of its id, and of its first
// market definition, it says of the whole recording. So a member the market ids rule out is
// passed over unread, and one whose first definition is ruled out is read no further. A
// catalogue, which wants no more of a market than its first definition, reads no further than
// that in any case.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "messages/parsed_message.hpp"
#include "replay/multi_market_replay.hpp"

namespace vantrel::replay {

// The market id a recording's name says it holds: the last component of `path`, digits, a dot
// and digits, with at most one compression suffix after it. Empty for any other name.
std::string_view market_named_by(std::string_view path);
// The event id a recording's name says it holds the markets of, as the exchange names an
// event's own file: the last component of `path` all digits, with at most one compression
// suffix after it. Empty for any other name.
std::string_view event_named_by(std::string_view path);

class EarlyJudge {
 public:
  // kEnough: the market is kept and its first definition read, which is all that is wanted of
  // it when the judge was asked to stop there.
  enum class Verdict { kUndecided, kKept, kRuledOut, kEnough };
  enum class Until { kDecided, kFirstDefinition };

  // `filter` is borrowed; `market_id` is what the recording's name says it holds.
  EarlyJudge(const MarketFilter& filter, std::string_view market_id, Until until = Until::kDecided);

  // Before anything is read: whether the market ids leave the market out.
  bool ruled_out_by_id() const;

  // After each message of the recording, in order, until it says more than kUndecided. A
  // recording that has said nothing after its first few messages is left to the replay.
  Verdict judge(const ParsedMessage& message);

  // The filter keys the market met, for the run's tally of keys that met no market.
  FilterKeys matched() const { return probe_.matched(); }

 private:
  static constexpr int kMessagesToJudge = 64;

  bool has_definition() const;

  const MarketFilter& filter_;
  std::string market_id_;
  Until until_;
  MultiMarketReplay probe_;
  int judged_ = 0;
  Verdict verdict_ = Verdict::kUndecided;
};

}  // namespace vantrel::replay
