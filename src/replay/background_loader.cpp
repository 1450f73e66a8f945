#include "replay/background_loader.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

#include <new>
#include <string_view>
#include <utility>

#include "replay/load.hpp"

namespace vantrel::replay {

namespace {

bool not_cancelled(void* flag) {
  return !static_cast<std::atomic<bool>*>(flag)->load(std::memory_order_relaxed);
}

// The streams of the exchange that are not market data, by their "op": a recording of one of
// them parses as JSON and yields no book, which would look like a market that never traded.
const char* other_stream_name(std::string_view op) {
  if (op == "rcm") return "a race stream (op \"rcm\")";
  if (op == "ccm") return "a cricket or sports-data stream (op \"ccm\")";
  if (op == "ocm") return "an order stream (op \"ocm\")";
  return nullptr;
}

// The value of a line's "op" member, or "" when it has none (bare market changes do not).
std::string_view op_of(std::string_view line) {
  std::size_t at = line.find("\"op\"");
  if (at == std::string_view::npos) return {};
  at += 4;
  while (at < line.size() && (line[at] == ' ' || line[at] == ':')) ++at;
  if (at >= line.size() || line[at] != '"') return {};
  const std::size_t end = line.find('"', at + 1);
  if (end == std::string_view::npos) return {};
  return line.substr(at + 1, end - at - 1);
}

// Stores the lines, but refuses a recording whose first message says it is another stream.
// Connection and status lines may come first, so a few lines are looked at, until one is a
// message: past those, the check costs nothing per message.
class MarketLines final : public LineHandler {
 public:
  MarketLines(StoreLines& lines, const MarketFilter* filter, EarlyJudge::Until until)
      : lines_(lines), filter_(filter), until_(until) {}

  // A recording begins, under `name`: false when the filter leaves it out by its name alone.
  // Otherwise a recording named as one market's file is judged by its first messages.
  bool start(std::string_view name) {
    judge_.reset();
    lines_.judge_early(nullptr);
    if (filter_ == nullptr) return true;
    const std::string_view market = market_named_by(name);
    if (market.empty()) return true;
    judge_.emplace(*filter_, market, until_);
    if (judge_->ruled_out_by_id()) return false;
    lines_.judge_early(&*judge_);
    return true;
  }
  bool on_recording(std::string_view member) override { return start(member); }
  FilterKeys matched() const { return judge_ ? judge_->matched() : FilterKeys{}; }

  bool on_line(std::string_view line) override {
    if (lines_looked_at_ < kLinesToLookAt) {
      ++lines_looked_at_;
      const std::string_view op = op_of(line);
      if (const char* other = other_stream_name(op)) {
        error_ = std::string(other) + ", not market data";
        return false;
      }
      // A market message, or a line without "op" (a bare market change): no need to look on.
      if (op.empty() || op == "mcm") lines_looked_at_ = kLinesToLookAt;
    }
    if (lines_.on_line(line)) return true;
    error_ = lines_.error();
    return false;
  }
  void on_blank_line() override { lines_.on_blank_line(); }
  bool keep_going() override { return lines_.keep_going(); }

  const std::string& error() const { return error_; }

 private:
  static constexpr int kLinesToLookAt = 4;

  StoreLines& lines_;
  const MarketFilter* filter_;
  EarlyJudge::Until until_;
  std::optional<EarlyJudge> judge_;
  std::string error_;
  int lines_looked_at_ = 0;
};

sources::RecordingReader open(const LoaderInput& input, sources::Limits limits,
                              const std::atomic<bool>& cancelled) {
  if (input.kind == LoaderInput::Kind::kFile) {
    return sources::RecordingReader::from_file(input.path_or_failure, limits, &cancelled);
  }
  return sources::RecordingReader::from_memory(input.bytes, limits);
}

}  // namespace

namespace {

long process_id() {
#if defined(__unix__) || defined(__APPLE__)
  return static_cast<long>(::getpid());
#else
  return 0;  // no fork() to tell apart
#endif
}

}  // namespace

BackgroundLoader::BackgroundLoader(sources::Limits limits, const MarketFilter* filter,
                                   EarlyJudge::Until until)
    : limits_(limits), filter_(filter), until_(until), process_(process_id()) {}

bool BackgroundLoader::forked() const {
  return process_id() != process_;
}

BackgroundLoader::~BackgroundLoader() {
  cancelled_ = true;
  if (worker_.joinable()) worker_.join();
}

// A worker lives for as long as it has something to read and room to put it: while the caller
// replays a recording and the next ones are ready, no thread of ours exists (a process may fork
// then, for one, without inheriting a lock held by it).
void BackgroundLoader::start_if_needed(std::unique_lock<std::mutex>& lock) {
  if (running_ || !has_room() || inputs_.empty()) return;
  running_ = true;
  lock.unlock();
  if (worker_.joinable()) worker_.join();  // ended, or about to: it cleared running_
  worker_ = std::thread([this] { run(); });
  lock.lock();
}

void BackgroundLoader::add(LoaderInput input) {
  std::unique_lock lock(mutex_);
  inputs_.push_back(std::move(input));
  ++added_;
  start_if_needed(lock);
}

std::size_t BackgroundLoader::inputs_in_flight() const {
  const std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(added_ - done_);
}

bool BackgroundLoader::idle() const {
  const std::lock_guard lock(mutex_);
  return inputs_.empty() && ready_.empty();
}

std::optional<LoadOutcome> BackgroundLoader::take(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, wait, [&] { return !ready_.empty() || inputs_.empty(); });
  if (ready_.empty()) return std::nullopt;
  std::optional<LoadOutcome> out = std::move(ready_.front());
  ready_.pop_front();
  ready_text_bytes_ -= out->text_bytes;
  start_if_needed(lock);
  return out;
}

void BackgroundLoader::cancel() {
  cancelled_ = true;
}

std::size_t BackgroundLoader::ready_count() const {
  const std::lock_guard lock(mutex_);
  return ready_.size();
}

bool BackgroundLoader::working() const {
  const std::lock_guard lock(mutex_);
  return running_;
}

std::optional<LoadOutcome> BackgroundLoader::load_one(sources::RecordingReader& reader,
                                                      const LoaderInput& input, bool& input_done) {
  using Status = sources::RecordingReader::Status;
  LoadOutcome out;
  auto store = std::make_unique<MessageStore>();
  StoreLines lines(*store, not_cancelled, &cancelled_);
  lines.check_definition_times();
  MarketLines market_lines(lines, filter_, until_);
  // A lone file is named by its path; an archive's members are named as the reader meets them.
  if (input.kind == LoaderInput::Kind::kFile && !market_lines.start(input.path_or_failure)) {
    input_done = true;
    return std::nullopt;
  }
  const Status status = reader.next(market_lines);
  out.member = reader.member();
  if (input.kind == LoaderInput::Kind::kFile) {
    out.stored = reader.stored_bytes();
  } else if (input.file_offset) {
    out.stored = reader.stored_bytes();
    if (out.stored) out.stored->offset += *input.file_offset;
  }
  out.text_bytes = lines.text_bytes();
  input_done =
      status == Status::kEnd ||
      ((status == Status::kFailed || status == Status::kStopped) && !reader.can_continue());
  // A read stopped once it had what was wanted of the recording is a recording like any other.
  const bool enough = status == Status::kStopped && lines.read_enough();
  switch (enough ? Status::kRecording : status) {
    case Status::kRecording:
      store->finish();
      release_free_heap(lines.text_bytes());
      out.kind = LoadOutcome::Kind::kRecording;
      out.store = std::move(store);
      break;
    case Status::kEnd:
      return std::nullopt;  // the end of an input is no outcome
    case Status::kStopped:
      if (lines.ruled_out()) {
        out.kind = LoadOutcome::Kind::kRuledOut;
        out.matched = market_lines.matched();
        break;
      }
      out.kind = lines.interrupted() ? LoadOutcome::Kind::kInterrupted : LoadOutcome::Kind::kFailed;
      out.error = market_lines.error();
      break;
    case Status::kFailed:
      out.kind = LoadOutcome::Kind::kFailed;
      out.error = reader.error();
      break;
  }
  return out;
}

void BackgroundLoader::run() {
  for (;;) {
    LoaderInput input;
    std::uint64_t number = 0;
    {
      const std::lock_guard lock(mutex_);
      // With no room for another outcome, or nothing to read, this worker ends; the caller
      // starts another when there is room and work again.
      if (!has_room() || inputs_.empty() || cancelled_) {
        running_ = false;
        return;
      }
      input = inputs_.front();
      number = done_;
    }
    std::optional<LoadOutcome> out;
    bool input_done = true;
    try {
      if (input.kind == LoaderInput::Kind::kFailure) {
        out.emplace().error = input.path_or_failure;
      } else {
        if (!reader_) reader_.emplace(open(input, limits_, cancelled_));
        out = load_one(*reader_, input, input_done);
      }
    } catch (const std::bad_alloc&) {
      out.emplace().error = "out of memory";
      input_done = true;
    }
    if (input_done) reader_.reset();  // before the input's bytes may be let go
    {
      const std::lock_guard lock(mutex_);
      if (out) {
        out->input = number;
        ready_text_bytes_ += out->text_bytes;
        ready_.push_back(std::move(*out));
      }
      if (input_done) {
        inputs_.pop_front();
        ++done_;
      }
    }
    changed_.notify_all();
  }
}

}  // namespace vantrel::replay
