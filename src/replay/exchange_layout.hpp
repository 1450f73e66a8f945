// Each market of the exchange's layout replayed once.
//
// The exchange's downloads hold, in an event's folder, one file per market named by its id,
// and in some downloads the event's own file, named by the event id, with the same markets'
// lines interleaved: read whole, every market of it would come twice. Recordings are admitted
// in the run's order: a market file whose market an earlier event file of its folder gave is
// passed over, and an event file gives only the markets no earlier market file of its folder
// gave. Copies of one kind are left alone, as the run was given them. Sorted
// listings and the exchange's downloads put the market files first, so a market comes from its
// own file and the event file fills in the markets that have none.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "messages/message_store.hpp"
#include "replay/multi_market_replay.hpp"

namespace vantrel::replay {

// The folder of a recording's name: everything before its last path separator.
std::string_view folder_of(std::string_view name);

class ExchangeLayout {
 public:
  explicit ExchangeLayout(EventFiles choice) : choice_(choice) {}

  // Whether the recording named `name` in `folder`, read into `store`, is replayed; the rest of
  // the run's recordings are admitted in order after it. Only a recording that was read counts:
  // a market file that failed leaves its market to the event file.
  bool admit(const std::string& folder, std::string_view name, const MessageStore& store);
  // For the recording last admitted: the markets its replay passes over; null for none.
  const std::unordered_set<std::string>* read_elsewhere() const {
    return elsewhere_.empty() ? nullptr : &elsewhere_;
  }

 private:
  EventFiles choice_;
  // Per folder, the markets its market files and its event files gave so far.
  struct Folder {
    std::unordered_set<std::string> market_files;
    std::unordered_set<std::string> event_files;
  };
  std::unordered_map<std::string, Folder> folders_;
  std::unordered_set<std::string> elsewhere_;
};

}  // namespace vantrel::replay
