#include "replay/background_loader.hpp"

#include <new>
#include <utility>

#include "replay/load.hpp"

namespace vantrel::replay {

namespace {

bool not_cancelled(void* flag) {
  return !static_cast<std::atomic<bool>*>(flag)->load(std::memory_order_relaxed);
}

sources::RecordingReader open(const LoaderInput& input, sources::Limits limits) {
  if (input.kind == LoaderInput::Kind::kFile) {
    return sources::RecordingReader::from_file(input.path_or_failure, limits);
  }
  return sources::RecordingReader::from_memory(input.bytes, limits);
}

}  // namespace

BackgroundLoader::BackgroundLoader(sources::Limits limits)
    : limits_(limits), worker_([this] { run(); }) {}

BackgroundLoader::~BackgroundLoader() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    cancelled_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void BackgroundLoader::add(LoaderInput input) {
  {
    const std::lock_guard lock(mutex_);
    inputs_.push_back(std::move(input));
    ++added_;
  }
  changed_.notify_all();
}

std::size_t BackgroundLoader::inputs_in_flight() const {
  const std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(added_ - done_);
}

bool BackgroundLoader::idle() const {
  const std::lock_guard lock(mutex_);
  return inputs_.empty() && !ready_;
}

std::optional<LoadOutcome> BackgroundLoader::take(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, wait, [&] { return ready_ || inputs_.empty(); });
  if (!ready_) return std::nullopt;
  std::optional<LoadOutcome> out = std::move(ready_);
  ready_.reset();
  lock.unlock();
  changed_.notify_all();
  return out;
}

void BackgroundLoader::cancel() {
  cancelled_ = true;
  changed_.notify_all();
}

std::optional<LoadOutcome> BackgroundLoader::load_one(sources::RecordingReader& reader,
                                                      bool& input_done) {
  using Status = sources::RecordingReader::Status;
  LoadOutcome out;
  auto store = std::make_unique<MessageStore>();
  StoreLines lines(*store, not_cancelled, &cancelled_);
  const Status status = reader.next(lines);
  out.member = reader.member();
  input_done =
      status == Status::kEnd ||
      ((status == Status::kFailed || status == Status::kStopped) && !reader.can_continue());
  switch (status) {
    case Status::kRecording:
      store->finish();
      release_free_heap(lines.text_bytes());
      out.kind = LoadOutcome::Kind::kRecording;
      out.store = std::move(store);
      break;
    case Status::kEnd:
      return std::nullopt;  // the end of an input is no outcome
    case Status::kStopped:
      out.kind = lines.interrupted() ? LoadOutcome::Kind::kInterrupted : LoadOutcome::Kind::kFailed;
      out.error = lines.error();
      break;
    case Status::kFailed:
      out.kind = LoadOutcome::Kind::kFailed;
      out.error = reader.error();
      break;
  }
  return out;
}

void BackgroundLoader::run() {
  std::optional<sources::RecordingReader> reader;
  for (;;) {
    LoaderInput input;
    std::uint64_t number = 0;
    {
      std::unique_lock lock(mutex_);
      // One outcome ahead at most: wait until the last one was taken and there is work.
      changed_.wait(lock, [&] { return stopping_ || (!ready_ && !inputs_.empty()); });
      if (stopping_) return;
      input = inputs_.front();
      number = done_;
    }
    std::optional<LoadOutcome> out;
    bool input_done = true;
    try {
      if (input.kind == LoaderInput::Kind::kFailure) {
        out.emplace().error = input.path_or_failure;
      } else {
        if (!reader) reader.emplace(open(input, limits_));
        out = load_one(*reader, input_done);
      }
    } catch (const std::bad_alloc&) {
      out.emplace().error = "out of memory";
      input_done = true;
    }
    if (input_done) reader.reset();  // before the input's bytes may be let go
    {
      const std::lock_guard lock(mutex_);
      if (out) {
        out->input = number;
        ready_ = std::move(out);
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
