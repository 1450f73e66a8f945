// Loading recordings on a worker thread, ahead of the replay that consumes them.
//
// The replay of one recording and the decompression and parsing of the next then run at the
// same time: on two cores a run costs about the larger of the two instead of their sum. The
// worker goes one recording ahead, and further only through small ones: while the finished
// recordings not yet taken hold less than kAheadTextBytes of text, and at most kAheadCount of
// them. An archive mixes small market files with large event files; held to one ahead, the
// worker would stand idle through the replay of each large one after loading a small one.
// Outcomes come out in input order, errors included.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "messages/message_store.hpp"
#include "replay/early_judge.hpp"
#include "replay/multi_market_replay.hpp"
#include "sources/recording_reader.hpp"

namespace vantrel::replay {

// One input: a file to open, bytes that stay alive until the worker is done with them (see
// take()), or a failure known beforehand (reported in its place in the order).
struct LoaderInput {
  enum class Kind : std::uint8_t { kFile, kMemory, kFailure };
  Kind kind;
  std::string path_or_failure;
  std::string_view bytes;
  // For bytes cut from a file the caller can open again (an archive member's stored bytes, a
  // group of a tar's members): where they began there, so that the recordings' stored bytes
  // are told as places in that file.
  std::optional<std::uint64_t> file_offset;
};

struct LoadOutcome {
  enum class Kind : std::uint8_t {
    kRecording,    // `store` holds it (up to its first definition only, when the loader was
                   // asked to stop there); `member` names it, `stored` locates it
    kFailed,       // `error` (and `member`) say why; the input may go on
    kInterrupted,  // stopped by cancel()
    kRuledOut,     // the filter leaves out its one market, known from its start; `matched` says
                   // which of the filter's keys that market met
  };
  Kind kind = Kind::kFailed;
  std::uint64_t input = 0;  // the input's number, counting from 0 in the order given
  std::unique_ptr<MessageStore> store;
  std::string member;
  // Where the recording's stored bytes lie in a file (see RecordingReader::stored_bytes); none
  // for an input read from memory, whose offsets would name nothing the caller can open.
  std::optional<sources::StoredBytes> stored;
  std::string error;
  std::size_t text_bytes = 0;  // the recording's decoded text
  FilterKeys matched;
};

class BackgroundLoader {
 public:
  static constexpr std::size_t kAheadTextBytes = std::size_t{16} << 20;
  static constexpr std::size_t kAheadCount = 4;

  // With a `filter` (borrowed, outliving the loader), a recording named as one market's file is
  // passed over unread when the market ids leave it out, and read no further than the first
  // definition that rules it out (see EarlyJudge); with `until` kFirstDefinition, no further
  // than its first definition whatever the filter says.
  explicit BackgroundLoader(sources::Limits limits, const MarketFilter* filter = nullptr,
                            EarlyJudge::Until until = EarlyJudge::Until::kDecided);
  ~BackgroundLoader();  // cancels and joins
  BackgroundLoader(const BackgroundLoader&) = delete;
  BackgroundLoader& operator=(const BackgroundLoader&) = delete;

  // Queues an input behind those already given.
  void add(LoaderInput input);
  // Inputs given that the worker has not finished reading.
  std::size_t inputs_in_flight() const;
  // True when every input given is read and every outcome taken.
  bool idle() const;

  // The next outcome if one is ready within `wait` (taking it lets the worker go on); none when
  // the wait ran out or the worker has nothing left to read.
  // Once an outcome of input n is taken, the worker is done with every input before n.
  std::optional<LoadOutcome> take(std::chrono::milliseconds wait);

  // Stops the worker at its next poll; the outcome in progress ends as kInterrupted.
  void cancel();

  // Whether this is a process forked from the one that made the loader. The child has no
  // worker, and the state it inherited may be mid-change (a lock held): nothing of it may be
  // used or destroyed there, only leaked.
  bool forked() const;

  // Finished outcomes not yet taken, and whether a worker is reading (for tests).
  std::size_t ready_count() const;
  bool working() const;

 private:
  void run();
  void start_if_needed(std::unique_lock<std::mutex>& lock);
  std::optional<LoadOutcome> load_one(sources::RecordingReader& reader, const LoaderInput& input,
                                      bool& input_done);

  sources::Limits limits_;
  const MarketFilter* filter_;
  EarlyJudge::Until until_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<LoaderInput> inputs_;  // queued, the one being read first
  std::uint64_t added_ = 0;
  std::uint64_t done_ = 0;
  // Whether the worker may load another: one ahead always, more while they are small.
  bool has_room() const {
    return ready_.empty() || (ready_text_bytes_ < kAheadTextBytes && ready_.size() < kAheadCount);
  }

  std::deque<LoadOutcome> ready_;  // finished, not yet taken, in input order
  std::size_t ready_text_bytes_ = 0;
  std::atomic<bool> cancelled_{false};
  long process_;  // the id of the process that made the loader
  bool running_ = false;
  // The reader of the input at the front, kept between workers.
  std::optional<sources::RecordingReader> reader_;
  std::thread worker_;
};

}  // namespace vantrel::replay
