// Loading recordings on worker threads, ahead of the replay that consumes them.
//
// The replay of one recording and the decompression and parsing of the next then run at the
// same time: on two cores a run costs about the larger of the two instead of their sum. The
// worker goes one recording ahead, and further only through small ones: while the finished
// recordings not yet taken hold less than kAheadTextBytes of text, and at most kAheadCount of
// them. An archive mixes small market files with large event files; held to one ahead, the
// worker would stand idle through the replay of each large one after loading a small one.
// Outcomes come out in input order, errors included.
//
// With more than one worker, recordings load side by side: independent inputs, and the members
// of a plain tar or zip file, each read from its own offset (see split_archive). A recording is
// started only while fewer than `threads` are loading or loaded and not yet taken (the small
// ones' read-ahead on top), so memory stays near `threads` recordings whatever the input.
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
#include <vector>

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
  // The markets each recording of the input must hold (a catalogue's rows name them): one that
  // holds none of some market fails, as the bytes are no longer those that were catalogued.
  std::vector<std::string> markets;
};

struct LoadOutcome {
  enum class Kind : std::uint8_t {
    kRecording,    // `store` holds it (up to its first definition only, when the loader was
                   // asked to stop there); `member` names it, `stored` locates it
    kFailed,       // `error` (and `member`) say why; the input may go on
    kInterrupted,  // stopped by cancel()
    kRuledOut,     // the filter leaves out its one market, known from its start; `matched` says
                   // which of the filter's keys that market met
    kNotice,       // the input was read to its end, with `notice` to say of a compressed archive
                   // as a whole
  };
  Kind kind = Kind::kFailed;
  std::uint64_t input = 0;  // the input's number, counting from 0 in the order given
  std::unique_ptr<MessageStore> store;
  std::string member;
  // Where the recording's stored bytes lie in a file (see RecordingReader::stored_bytes); none
  // for an input read from memory, whose offsets would name nothing the caller can open.
  std::optional<sources::StoredBytes> stored;
  std::string error;
  // What a recording (or, with kNotice, an archive) was read past: RecordingReader::notice().
  std::string notice;
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
  // than its first definition whatever the filter says. `threads` workers load at most: more
  // than one splits a plain tar or zip file into its members, loaded side by side.
  explicit BackgroundLoader(sources::Limits limits, const MarketFilter* filter = nullptr,
                            EarlyJudge::Until until = EarlyJudge::Until::kDecided,
                            std::size_t threads = 1);
  ~BackgroundLoader();  // cancels and joins
  BackgroundLoader(const BackgroundLoader&) = delete;
  BackgroundLoader& operator=(const BackgroundLoader&) = delete;

  // Queues an input behind those already given.
  void add(LoaderInput input);
  // Inputs given that the workers have not finished reading.
  std::size_t inputs_in_flight() const;
  // True when every input given is read and every outcome taken.
  bool idle() const;

  // The next outcome if one is ready within `wait` (taking it lets the workers go on); none
  // when the wait ran out or the workers have nothing left to read.
  // Once an outcome of input n is taken, the workers are done with every input before n.
  std::optional<LoadOutcome> take(std::chrono::milliseconds wait);

  // Stops the workers at their next poll; the outcomes in progress end as kInterrupted.
  void cancel();

  // Whether this is a process forked from the one that made the loader. The child has no
  // worker, and the state it inherited may be mid-change (a lock held): nothing of it may be
  // used or destroyed there, only leaked.
  bool forked() const;

  // Finished outcomes not yet taken, and whether a worker is reading (for tests).
  std::size_t ready_count() const;
  bool working() const;

 private:
  struct Unit;
  struct Task;

  void run(std::size_t worker, Task task);
  void start_if_needed(std::unique_lock<std::mutex>& lock);
  std::optional<Task> find_task(bool claim);
  void perform(Task& task);
  void settle_front();
  bool front_ready() const;
  bool has_room() const;
  bool ruled_out_by_name(std::string_view name) const;
  std::optional<LoadOutcome> load_one(sources::RecordingReader& reader, const LoaderInput& input,
                                      bool named_by_input, bool& input_done);

  sources::Limits limits_;
  const MarketFilter* filter_;
  EarlyJudge::Until until_;
  std::size_t threads_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // The inputs not yet handed out whole, in order; a unit's outcomes go out before the next's.
  std::deque<std::unique_ptr<Unit>> units_;
  std::uint64_t added_ = 0;
  std::size_t reading_ = 0;  // units whose reading is not finished
  std::size_t loading_ = 0;  // tasks in progress
  std::size_t ready_ = 0;    // finished outcomes not yet taken
  std::size_t ready_text_bytes_ = 0;
  std::atomic<bool> cancelled_{false};
  long process_;  // the id of the process that made the loader
  std::size_t running_ = 0;
  std::vector<std::thread> workers_;
  std::vector<bool> worker_running_;
};

}  // namespace vantrel::replay
