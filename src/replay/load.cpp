#include "replay/load.hpp"

#include <new>
#include <utility>

#include "base/platform.hpp"

namespace vantrel::replay {

bool StoreLines::on_line(std::string_view line) {
  text_bytes_ += line.size();
  const json::ParseError err = store_.add_line(line);
  if (!err) return true;
  error_ = err.message();
  return false;
}

bool StoreLines::keep_going() {
  if (keep_going_ == nullptr || keep_going_(context_)) return true;
  interrupted_ = true;
  return false;
}

LoadResult load_file(const std::string& path, StoreLines::KeepGoing keep_going, void* context) {
  LoadResult out;
  auto store = std::make_unique<MessageStore>();
  StoreLines lines(*store, keep_going, context);
  const ReadResult result = read_stream_lines(path, lines);
  out.text_bytes = lines.text_bytes();
  switch (result.status) {
    case ReadStatus::kOk:
      store->finish();
      out.store = std::move(store);
      break;
    case ReadStatus::kFailed:
      out.error = result.message;
      break;
    case ReadStatus::kStopped:
      out.interrupted = lines.interrupted();
      if (!out.interrupted) out.error = lines.error();
      break;
  }
  return out;
}

void release_free_heap(std::size_t text_bytes) {
  constexpr std::size_t kWorthTrimming = std::size_t{16} << 20;
  if (text_bytes >= kWorthTrimming) base::trim_heap();
}

}  // namespace vantrel::replay
