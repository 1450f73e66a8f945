// Loading a recording: every line decoded into a message store, or the first error's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "messages/message_store.hpp"
#include "replay/early_judge.hpp"
#include "sources/line_handler.hpp"

namespace vantrel::replay {

// Feeds decoded lines into a message store and keeps the first JSON error. A load can be cut
// short from outside (Ctrl-C): `ask` is asked every few MB of input.
class StoreLines final : public LineHandler {
 public:
  using KeepGoing = bool (*)(void* context);

  explicit StoreLines(MessageStore& store, KeepGoing ask = nullptr, void* context = nullptr)
      : store_(store), keep_going_(ask), context_(context) {}

  // Reads the lines as the package's replay and tables do, rather than as iter_prices_file
  // always has: publish times as whole milliseconds in either number form
  // (PublishTimes::kWholeMilliseconds), definition times checked, so that a time that cannot be
  // read fails the recording before any of its books; and errors that name the recording's own
  // line ("line 6: expected value at column 78"), each line being parsed on its own.
  void read_for_package() { for_package_ = true; }

  // Asks `judge` of each message until it has decided, and stops the read once it rules the
  // recording out (ruled_out() then says so). Borrowed; null asks nothing.
  void judge_early(EarlyJudge* judge) { judge_ = judge; }
  bool ruled_out() const { return ruled_out_; }
  // The judge had all it wanted of the recording (EarlyJudge::Until::kFirstDefinition): the
  // read stopped there, and what the store holds is the recording as far as it is wanted.
  bool read_enough() const { return read_enough_; }

  bool on_line(std::string_view line) override;
  void on_blank_line() override { ++line_number_; }
  bool keep_going() override;

  const std::string& error() const { return error_; }
  std::size_t messages_kept() const { return store_.size(); }
  bool interrupted() const { return interrupted_; }
  std::size_t text_bytes() const { return text_bytes_; }

 private:
  MessageStore& store_;
  KeepGoing keep_going_;
  void* context_;
  std::string error_;
  EarlyJudge* judge_ = nullptr;
  bool interrupted_ = false;
  bool ruled_out_ = false;
  bool read_enough_ = false;
  bool for_package_ = false;
  std::size_t text_bytes_ = 0;
  std::uint64_t line_number_ = 0;
};

struct LoadResult {
  std::unique_ptr<MessageStore> store;  // set when the whole file loaded
  std::string error;                    // the error text when it did not, unless interrupted
  bool interrupted = false;
  std::size_t text_bytes = 0;
  bool ok() const { return store != nullptr; }
};

// Reads the stream file at `path` (UTF-8, no NUL bytes) as iter_prices_file always has: by its
// name, inflating it when the name says gzip.
LoadResult load_file(const std::string& path, StoreLines::KeepGoing keep_going = nullptr,
                     void* context = nullptr);

// The load's transient buffers (inflate window, line window, compressed input) are freed once
// it is done; after a large load, their pages go back to the system so that a replay holds only
// what its iterator keeps. After a small one the few pages are not worth it: trimming costs
// more than the load (the pages fault back in on the next one).
void release_free_heap(std::size_t text_bytes);

}  // namespace vantrel::replay
