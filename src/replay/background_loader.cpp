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

// As the package says of a catalogue's row whose bytes are no longer what it saw.
constexpr char kChangedSinceCatalogued[] = ": the file changed since it was catalogued";

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
constexpr std::string_view kNotMarketStream = "not a market-stream recording";

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
    if (filter_->passes_over_name(name)) return false;
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
    ++lines_read_;
    const bool looking = lines_looked_at_ < kLinesToLookAt;
    // Whether this is a market stream at all is asked only until a message is kept.
    const bool asking = !market_stream_ && lines_.messages_kept() == 0;
    const std::string_view op = looking || asking ? op_of(line) : std::string_view();
    if (op == "mcm") market_stream_ = true;
    if (looking) {
      ++lines_looked_at_;
      if (const char* other = other_stream_name(op)) {
        error_ = std::string(other) + ", not market data";
        return false;
      }
      // A market message, or a line without "op" (a bare market change): no need to look on.
      if (op.empty() || op == "mcm") lines_looked_at_ = kLinesToLookAt;
    }
    if (lines_.on_line(line)) return true;
    // A first line that is no JSON object at all (a README, a CSV) is no damaged recording.
    const bool foreign = !market_stream_ && lines_read_ == 1 && !line.starts_with('{');
    error_ = foreign ? std::string(kNotMarketStream) : lines_.error();
    return false;
  }
  // Read to its end without one market-stream message: JSON of something else (a saved
  // catalogue, a settings file), which would otherwise give no books and no word.
  bool foreign(const MessageStore& store) const {
    return lines_read_ != 0 && !market_stream_ && store.size() == 0;
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
  std::uint64_t lines_read_ = 0;
  bool market_stream_ = false;  // a line said "op": "mcm"
};

// The first of `markets` that no change of `store` names, or "" when it holds them all.
std::string missing_market(const MessageStore& store, const std::vector<std::string>& markets) {
  static const json::Key kId("id");
  std::vector<bool> seen(markets.size(), false);
  std::size_t left = markets.size();
  for (const ParsedMessage& message : store.messages()) {
    message.for_each_change([&](json::Value change) {
      if (left == 0 || !change.is_object()) return;
      const json::Value id = change.find(kId);
      if (!id.present() || !id.is_string()) return;
      for (std::size_t i = 0; i < markets.size(); ++i) {
        if (!seen[i] && markets[i] == id.as_string()) {
          seen[i] = true;
          --left;
        }
      }
    });
    if (left == 0) return {};
  }
  for (std::size_t i = 0; i < markets.size(); ++i) {
    if (!seen[i]) return markets[i];
  }
  return {};
}

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

// One input as the workers see it: read whole by one reader, one recording at a time, or split
// into the members of its archive, read side by side.
struct BackgroundLoader::Unit {
  enum class Plan : std::uint8_t { kUnplanned, kPlanning, kWhole, kSplit };
  struct Job {
    sources::ArchiveMember member;
    bool done = false;
    std::optional<LoadOutcome> out;  // none for a member passed over by its name
  };

  std::uint64_t number = 0;
  LoaderInput input;
  Plan plan = Plan::kUnplanned;
  std::size_t in_progress = 0;  // tasks of this unit being performed
  std::size_t held = 0;         // its outcomes ready, not yet taken
  bool finished = false;        // read to its end: nothing more will come of it
  // kWhole: the reader, kept between tasks, and its outcomes in order.
  std::optional<sources::RecordingReader> reader;
  bool stepping = false;
  std::deque<LoadOutcome> ready;
  // kSplit: every member, the first not yet given to a worker, and the first not yet taken.
  std::vector<Job> jobs;
  std::size_t claimed = 0;
  std::size_t taken = 0;
  std::size_t jobs_done = 0;
};

struct BackgroundLoader::Task {
  enum class Kind : std::uint8_t { kPlan, kStep, kMember };
  Kind kind;
  Unit* unit;
  std::size_t job = 0;
};

BackgroundLoader::BackgroundLoader(sources::Limits limits, const MarketFilter* filter,
                                   EarlyJudge::Until until, std::size_t threads)
    : limits_(limits),
      filter_(filter),
      until_(until),
      threads_(threads == 0 ? 1 : threads),
      process_(process_id()),
      workers_(threads_),
      worker_running_(threads_, false) {}

bool BackgroundLoader::forked() const {
  return process_id() != process_;
}

BackgroundLoader::~BackgroundLoader() {
  cancelled_ = true;
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

// One ahead always (per worker), more while those held are small. With one worker this is the
// same rule as ever: the worker checks it between loads, when none is in progress.
bool BackgroundLoader::has_room() const {
  const std::size_t held = loading_ + ready_;
  return held < threads_ ||
         (ready_text_bytes_ < kAheadTextBytes && held + 1 < threads_ + kAheadCount);
}

bool BackgroundLoader::ruled_out_by_name(std::string_view name) const {
  if (filter_ == nullptr) return false;
  if (filter_->passes_over_name(name)) return true;
  const std::string_view market = market_named_by(name);
  return !market.empty() && EarlyJudge(*filter_, market, until_).ruled_out_by_id();
}

// The earliest work in input order, claimed when `claim`. The first unit may always have one
// task when it holds nothing and nothing of it is in progress: otherwise outcomes of later
// units, loaded while it was busy, could take all the room while the caller waits on it.
std::optional<BackgroundLoader::Task> BackgroundLoader::find_task(bool claim) {
  using Plan = Unit::Plan;
  const bool room = has_room();
  for (std::size_t i = 0; i < units_.size(); ++i) {
    Unit& u = *units_[i];
    const bool allowed = room || (i == 0 && u.in_progress == 0 && u.held == 0);
    std::optional<Task> task;
    if (u.plan == Plan::kUnplanned) {
      if (threads_ > 1 && u.input.kind == LoaderInput::Kind::kFile) {
        task = Task{Task::Kind::kPlan, &u};
      } else {
        u.plan = Plan::kWhole;
      }
    }
    if (!task && u.plan == Plan::kWhole && !u.stepping && !u.finished) {
      task = Task{Task::Kind::kStep, &u};
    }
    if (!task && u.plan == Plan::kSplit && u.claimed < u.jobs.size()) {
      task = Task{Task::Kind::kMember, &u, u.claimed};
    }
    if (!task) continue;
    if (!allowed) return std::nullopt;
    if (claim) {
      ++u.in_progress;
      ++loading_;
      if (task->kind == Task::Kind::kPlan) u.plan = Plan::kPlanning;
      if (task->kind == Task::Kind::kStep) u.stepping = true;
      if (task->kind == Task::Kind::kMember) ++u.claimed;
    }
    return task;
  }
  return std::nullopt;
}

// Workers live for as long as there is something to read and room to put it: while the caller
// replays a recording and the next ones are ready, no thread of ours exists (a process may fork
// then, for one, without inheriting a lock held by one).
void BackgroundLoader::start_if_needed(std::unique_lock<std::mutex>& lock) {
  while (running_ < threads_ && !cancelled_) {
    std::optional<Task> task = find_task(true);
    if (!task) return;
    std::size_t slot = 0;
    while (worker_running_[slot]) ++slot;
    worker_running_[slot] = true;
    ++running_;
    lock.unlock();
    if (workers_[slot].joinable()) workers_[slot].join();  // ended, or about to
    workers_[slot] = std::thread([this, slot, first = *task] { run(slot, first); });
    lock.lock();
  }
}

void BackgroundLoader::add(LoaderInput input) {
  std::unique_lock lock(mutex_);
  auto unit = std::make_unique<Unit>();
  unit->number = added_++;
  unit->input = std::move(input);
  units_.push_back(std::move(unit));
  ++reading_;
  start_if_needed(lock);
}

std::size_t BackgroundLoader::inputs_in_flight() const {
  const std::lock_guard lock(mutex_);
  return reading_;
}

bool BackgroundLoader::idle() const {
  const std::lock_guard lock(mutex_);
  return units_.empty();
}

// Drops the units at the front that are read and taken, and the members passed over unread.
void BackgroundLoader::settle_front() {
  while (!units_.empty()) {
    Unit& u = *units_.front();
    if (u.plan == Unit::Plan::kSplit) {
      while (u.taken < u.jobs.size() && u.jobs[u.taken].done && !u.jobs[u.taken].out) ++u.taken;
    }
    const bool drained = u.finished && u.in_progress == 0 && u.held == 0 &&
                         (u.plan != Unit::Plan::kSplit || u.taken == u.jobs.size());
    if (!drained) return;
    units_.pop_front();
  }
}

bool BackgroundLoader::front_ready() const {
  if (units_.empty()) return false;
  const Unit& u = *units_.front();
  if (u.plan == Unit::Plan::kSplit) {
    return u.taken < u.jobs.size() && u.jobs[u.taken].done && u.jobs[u.taken].out.has_value();
  }
  return !u.ready.empty();
}

std::optional<LoadOutcome> BackgroundLoader::take(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    settle_front();
    if (front_ready() || units_.empty()) break;
    start_if_needed(lock);
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      settle_front();
      break;
    }
  }
  if (!front_ready()) return std::nullopt;
  Unit& u = *units_.front();
  std::optional<LoadOutcome> out;
  if (u.plan == Unit::Plan::kSplit) {
    out = std::move(u.jobs[u.taken].out);
    u.jobs[u.taken].out.reset();
    ++u.taken;
  } else {
    out = std::move(u.ready.front());
    u.ready.pop_front();
  }
  --u.held;
  --ready_;
  ready_text_bytes_ -= out->text_bytes;
  settle_front();
  start_if_needed(lock);
  return out;
}

void BackgroundLoader::cancel() {
  cancelled_ = true;
}

std::size_t BackgroundLoader::ready_count() const {
  const std::lock_guard lock(mutex_);
  return ready_;
}

bool BackgroundLoader::working() const {
  const std::lock_guard lock(mutex_);
  return running_ > 0;
}

std::optional<LoadOutcome> BackgroundLoader::load_one(sources::RecordingReader& reader,
                                                      const LoaderInput& input, bool named_by_input,
                                                      bool& input_done) {
  using Status = sources::RecordingReader::Status;
  LoadOutcome out;
  auto store = std::make_unique<MessageStore>();
  StoreLines lines(*store, not_cancelled, &cancelled_);
  lines.read_for_package();
  MarketLines market_lines(lines, filter_, until_);
  // A lone file is named by its path; an archive's members are named as the reader meets them.
  if (named_by_input && input.kind == LoaderInput::Kind::kFile &&
      !market_lines.start(input.path_or_failure)) {
    input_done = true;
    return std::nullopt;
  }
  const Status status = reader.next(market_lines);
  out.member = reader.member();
  if (input.kind == LoaderInput::Kind::kFile || input.file_offset) {
    out.stored = reader.stored_bytes();
    if (out.stored && input.file_offset) out.stored->offset += *input.file_offset;
  }
  out.text_bytes = lines.text_bytes();
  input_done =
      status == Status::kEnd ||
      ((status == Status::kFailed || status == Status::kStopped) && !reader.can_continue());
  // A read stopped once it had what was wanted of the recording is a recording like any other.
  const bool enough = status == Status::kStopped && lines.read_enough();
  switch (enough ? Status::kRecording : status) {
    case Status::kRecording:
      if (market_lines.foreign(*store)) {
        out.kind = LoadOutcome::Kind::kFailed;
        out.error = kNotMarketStream;
        break;
      }
      store->finish();
      release_free_heap(lines.text_bytes());
      if (const std::string missing = missing_market(*store, input.markets); !missing.empty()) {
        out.kind = LoadOutcome::Kind::kFailed;
        out.error = "it holds no market " + missing + kChangedSinceCatalogued;
        break;
      }
      out.kind = LoadOutcome::Kind::kRecording;
      out.notice = reader.notice();
      out.store = std::move(store);
      break;
    case Status::kEnd:
      if (reader.notice().empty()) return std::nullopt;  // the end of an input is no outcome
      out.kind = LoadOutcome::Kind::kNotice;
      out.notice = reader.notice();
      break;
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

void BackgroundLoader::perform(Task& task) {
  Unit& u = *task.unit;
  const std::string& path = u.input.path_or_failure;
  std::optional<LoadOutcome> out;
  // Only the worker holding the task touches the unit's reader and its job outside the lock.
  switch (task.kind) {
    case Task::Kind::kPlan: {
      std::vector<sources::ArchiveMember> members;
      bool split = false;
      try {
        // An archive that its own name rules out is passed over whole, as a reader of it would.
        split = !ruled_out_by_name(path) && sources::split_archive(path, members, limits_);
      } catch (const std::bad_alloc&) {
        split = false;
      }
      const std::lock_guard lock(mutex_);
      if (split) {
        u.jobs.reserve(members.size());
        for (sources::ArchiveMember& member : members) {
          u.jobs.push_back({std::move(member), false, std::nullopt});
        }
        u.plan = Unit::Plan::kSplit;
        if (u.jobs.empty()) {
          u.finished = true;
          --reading_;
        }
      } else {
        u.plan = Unit::Plan::kWhole;
      }
      break;
    }
    case Task::Kind::kStep: {
      bool input_done = true;
      try {
        if (u.input.kind == LoaderInput::Kind::kFailure) {
          out.emplace().error = path;
        } else {
          if (!u.reader) u.reader.emplace(open(u.input, limits_, cancelled_));
          out = load_one(*u.reader, u.input, true, input_done);
        }
      } catch (const std::bad_alloc&) {
        out.emplace().error = "out of memory";
        input_done = true;
      }
      if (input_done) u.reader.reset();  // before the input's bytes may be let go
      const std::lock_guard lock(mutex_);
      u.stepping = false;
      if (out) {
        out->input = u.number;
        ready_text_bytes_ += out->text_bytes;
        ++ready_;
        ++u.held;
        u.ready.push_back(std::move(*out));
      }
      if (input_done) {
        u.finished = true;
        --reading_;
      }
      break;
    }
    case Task::Kind::kMember: {
      Unit::Job& job = u.jobs[task.job];
      try {
        if (!ruled_out_by_name(job.member.path)) {
          sources::RecordingReader reader =
              sources::RecordingReader::from_member(path, job.member, limits_, &cancelled_);
          bool input_done = true;
          out = load_one(reader, u.input, false, input_done);
        }
      } catch (const std::bad_alloc&) {
        out.emplace().error = "out of memory";
        out->member = job.member.path;
      }
      const std::lock_guard lock(mutex_);
      if (out) {
        out->input = u.number;
        ready_text_bytes_ += out->text_bytes;
        ++ready_;
        ++u.held;
      }
      job.out = std::move(out);
      job.done = true;
      if (++u.jobs_done == u.jobs.size()) {
        u.finished = true;
        --reading_;
      }
      break;
    }
  }
}

void BackgroundLoader::run(std::size_t worker, Task task) {
  for (;;) {
    perform(task);
    std::optional<Task> next;
    {
      const std::lock_guard lock(mutex_);
      --task.unit->in_progress;
      --loading_;
      settle_front();
      if (!cancelled_) next = find_task(true);
      if (!next) {
        worker_running_[worker] = false;
        --running_;
      }
    }
    changed_.notify_all();
    if (!next) return;
    task = *next;
  }
}

}  // namespace vantrel::replay
