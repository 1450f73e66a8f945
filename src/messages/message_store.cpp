#include "messages/message_store.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <utility>

namespace vantrel {

namespace {

constexpr std::size_t kChunkWords = std::size_t{1} << 18;  // 2 MiB

const json::Key kPt("pt");
const json::Key kMc("mc");
const json::Key kMarketDefinition("marketDefinition");
const json::Key kRc("rc");

std::size_t round_to_pages(std::size_t bytes) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

bool is_full_chunk(std::size_t bytes) {
  return bytes == round_to_pages(kChunkWords * sizeof(std::uint64_t));
}

// One full chunk of a store that is gone, its pages still in memory, for the next store to
// write into. Loading many small files in turn would otherwise spend a quarter of each load
// having the kernel map and zero a fresh chunk and take it back. Stores go on any thread, and
// a process may fork at any moment: so no lock, only an exchange. The chunk's first word says
// how many of its bytes are in memory (it is one of them).
std::atomic<std::uint64_t*> g_spare_chunk{nullptr};

}  // namespace

MessageStore::Chunk::Chunk(std::size_t words)
    : bytes_(round_to_pages(words * sizeof(std::uint64_t))) {
  if (words == kChunkWords) {
    if (std::uint64_t* spare = g_spare_chunk.exchange(nullptr, std::memory_order_acquire)) {
      words_ = spare;
      populated_ = static_cast<std::size_t>(spare[0]);
      return;
    }
  }
  void* p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  words_ = static_cast<std::uint64_t*>(p);
}

MessageStore::Chunk::Chunk(Chunk&& o) noexcept
    : words_(std::exchange(o.words_, nullptr)),
      bytes_(std::exchange(o.bytes_, 0)),
      populated_(std::exchange(o.populated_, 0)) {}

MessageStore::Chunk::~Chunk() {
  if (words_ == nullptr) return;
  if (is_full_chunk(bytes_)) {
    // Writing the count brings the first page in if nothing else did.
    words_[0] = std::max(populated_, round_to_pages(sizeof(std::uint64_t)));
    std::uint64_t* expected = nullptr;
    if (g_spare_chunk.compare_exchange_strong(expected, words_, std::memory_order_release)) {
      return;
    }
  }
  munmap(words_, bytes_);
}

void MessageStore::Chunk::populate(std::size_t from_bytes, std::size_t to_bytes) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  from_bytes = std::max(from_bytes / page * page, populated_);
  if (to_bytes > from_bytes) {
    madvise(reinterpret_cast<char*>(words_) + from_bytes, to_bytes - from_bytes,
            MADV_POPULATE_WRITE);
  }
  populated_ = std::max(populated_, to_bytes);
}

void MessageStore::Chunk::shrink(std::size_t words) {
  const std::size_t keep = round_to_pages(words * sizeof(std::uint64_t));
  if (keep >= bytes_) return;
  munmap(reinterpret_cast<char*>(words_) + keep, bytes_ - keep);
  bytes_ = keep;
  populated_ = std::min(populated_, keep);
}

void MessageStore::Chunk::trim(std::size_t words) {
  const std::size_t keep = round_to_pages(words * sizeof(std::uint64_t));
  if (populated_ <= keep) return;
  madvise(reinterpret_cast<char*>(words_) + keep, populated_ - keep, MADV_DONTNEED);
  populated_ = keep;
}

void MessageStore::close_open_chunk() {
  if (free_ == nullptr) return;
  const std::size_t used = kChunkWords - free_words_;
  // A store's only chunk keeps its size, so that it can serve the next store once this one is
  // gone; only the pages written ahead of the words go back.
  if (chunks_.size() == 1) {
    chunks_[open_chunk_].trim(used);
  } else {
    chunks_[open_chunk_].shrink(used);
  }
  free_ = nullptr;
  free_words_ = 0;
  ready_ = nullptr;
}

std::uint64_t* MessageStore::allocate(std::size_t words) {
  // A message larger than a quarter chunk gets a chunk of its own, so the slack stays small.
  if (words > kChunkWords / 4) return chunks_.emplace_back(words).words();
  if (words > free_words_) {
    close_open_chunk();
    const Chunk& chunk = chunks_.emplace_back(kChunkWords);
    free_ = chunk.words();
    open_chunk_ = chunks_.size() - 1;
    free_words_ = kChunkWords;
    ready_ = free_ + chunk.populated_bytes() / sizeof(std::uint64_t);
  }
  std::uint64_t* p = free_;
  free_ += words;
  free_words_ -= words;
  if (free_ > ready_) fault_in_ahead();
  return p;
}

// A fault a page is a large share of a load: the words ahead of the writer are faulted in a
// stretch at a time, by one call (without the kernel's support they fault one by one, as they
// would anyway).
void MessageStore::fault_in_ahead() {
  constexpr std::size_t kStretchWords = std::size_t{1} << 13;  // 64 KiB
  Chunk& chunk = chunks_[open_chunk_];
  std::uint64_t* const chunk_end = chunk.words() + kChunkWords;
  std::uint64_t* const to = std::min(free_ + kStretchWords, chunk_end);
  const auto offset = [&](const std::uint64_t* p) {
    return static_cast<std::size_t>(p - chunk.words()) * sizeof(std::uint64_t);
  };
  chunk.populate(offset(free_), offset(to));
  ready_ = to;
}

void MessageStore::finish() {
  close_open_chunk();
  parser_.release_memory();
}

json::ParseError MessageStore::add_line(std::string_view line) {
  const json::ParseError err = parser_.parse(line);
  if (err) return err;

  const json::Value root(parser_.words().data());
  if (!root.is_object()) return {};
  std::int64_t publish_time = 0;
  json::Value mc;
  bool is_change = false;
  for (const json::Member m : root.members()) {
    if (m.key.key_equals(kPt)) {
      publish_time = m.value.as_int().value_or(0);
    } else if (m.key.key_equals(kMc)) {
      mc = m.value;
    } else if (m.key.key_equals(kMarketDefinition) || m.key.key_equals(kRc)) {
      is_change = true;
    }
  }
  const bool has_changes_array = mc.present() && mc.is_array();
  if (!has_changes_array && !is_change) return {};
  if (publish_time <= 0) return {};

  const std::uint64_t* first = has_changes_array ? mc.head() : root.head();
  const std::size_t words = json::tape::value_words(first);
  std::uint64_t* stored = allocate(words);
  std::memcpy(stored, first, words * sizeof(std::uint64_t));
  messages_.push_back(ParsedMessage{stored, publish_time, !has_changes_array});
  return {};
}

}  // namespace vantrel
