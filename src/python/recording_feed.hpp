// The recordings of a source, one after another, each loaded whole into a message store.
//
// Inputs come from a Python iterator of (label, payload) pairs, a payload being a path (str),
// an object with the buffer protocol, or an exception saying why the input could not be had.
// Three more items may follow: the archive member the payload is (a str or None), which names
// the recording read from bytes and the failure given in its place; where bytes begin in
// the label's file (an int or None), so that the recordings' stored offsets count from there;
// and the market ids its recordings must hold (a sequence of str or None; see
// replay::LoaderInput::markets).
// Each is read by a RecordingReader on a worker thread, one recording ahead of the caller (or
// on several, as many ahead; see replay::BackgroundLoader), so
// a compressed file or every member of an archive comes out as its own recording. A recording
// that cannot be read is handed to `on_error(label, member, text)`, in input order, before
// anything of it is used; the callback raises to stop, or returns to go on. What a recording
// was read past (bytes after its compressed data) is handed to `on_error(label, member, text,
// True)` alike, before its books: the callback raises to stop, or returns to have them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "messages/message_store.hpp"
#include "python/ref.hpp"
#include "replay/early_judge.hpp"
#include "replay/exchange_layout.hpp"
#include "replay/multi_market_replay.hpp"
#include "sources/recording_reader.hpp"

namespace vantrel::replay {
class BackgroundLoader;
}

namespace vantrel::py {

// A name stored as bytes (an archive member's, or a path), as UTF-8 to show. Old tools wrote
// names in Latin-1: a name that is not UTF-8 is read that way, every byte a character, so that
// it shows readably in errors and in the source column and maps back to the stored bytes
// exactly (encode it as Latin-1).
std::string shown_name(const std::string& stored);

class RecordingFeed {
 public:
  // `threads`: how many recordings load side by side (see replay::BackgroundLoader).
  RecordingFeed(Ref inputs, Ref on_error, std::uint64_t max_recording_bytes,
                std::size_t threads = 1);
  RecordingFeed(RecordingFeed&&) noexcept;
  RecordingFeed& operator=(RecordingFeed&&) noexcept;
  ~RecordingFeed();

  // Lets the loader pass over what `filter` (borrowed, outliving the feed) rules out from a
  // recording's name or first definition. Before the first next().
  void decide_early(const replay::MarketFilter* filter) { filter_ = filter; }
  // Reads a recording named as one market's file no further than that market's first
  // definition (a catalogue's need); with decide_early, before the first next().
  void read_starts_only() { until_ = replay::EarlyJudge::Until::kFirstDefinition; }

  // The next recording; null at the end (no exception set) or when stopped (exception set:
  // on_error raised, Ctrl-C, or the inputs iterator failed). Waits with the interpreter lock
  // released.
  std::unique_ptr<MessageStore> next();

  // The filter keys met by the markets of recordings passed over (see decide_early).
  replay::FilterKeys matched_unread() const { return matched_unread_; }

  // Where the recording last returned came from: the input's label, and its archive member
  // ("" for a lone file) as UTF-8, a name stored in another encoding read as Latin-1.
  PyObject* label() const { return label_.get(); }
  const std::string& member() const { return member_; }
  // The markets its replay passes over, which another recording of its folder gives (see
  // replay::ExchangeLayout); null for none.
  const std::unordered_set<std::string>* read_elsewhere() const {
    return layout_ ? layout_->read_elsewhere() : nullptr;
  }
  // Where its stored bytes lie in the input's file; none for inputs read from memory.
  const std::optional<sources::StoredBytes>& stored() const { return stored_; }

  int traverse(visitproc visit, void* arg) const;
  void clear();

 private:
  class HeldBuffer;
  struct Pending;
  bool top_up();
  bool add_input(PyObject* label, PyObject* payload, PyObject* member, PyObject* file_offset,
                 PyObject* markets);
  void forget_inputs_before(std::uint64_t input);
  // `read`: the text is a notice on a recording that is read all the same.
  bool report(PyObject* label, const std::string& member, const std::string& text,
              bool read = false);
  bool admitted(const MessageStore& store);
  void stop();

  Ref inputs_;
  Ref on_error_;
  std::uint64_t max_recording_bytes_;
  std::size_t threads_;
  const replay::MarketFilter* filter_ = nullptr;
  replay::EarlyJudge::Until until_ = replay::EarlyJudge::Until::kDecided;
  replay::FilterKeys matched_unread_;
  std::unique_ptr<replay::BackgroundLoader> loader_;
  std::unique_ptr<replay::ExchangeLayout> layout_;
  // Inputs handed to the loader and not yet known to be done with, oldest first.
  std::deque<Pending> pending_;
  std::uint64_t first_pending_ = 0;  // the number of pending_.front()
  Ref label_;
  std::string member_;
  std::optional<sources::StoredBytes> stored_;
};

}  // namespace vantrel::py
