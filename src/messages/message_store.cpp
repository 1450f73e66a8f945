#include "messages/message_store.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include "base/kept.hpp"
#include "base/platform.hpp"

namespace vantrel {

namespace {

constexpr std::size_t kChunkWords = std::size_t{1} << 18;  // 2 MiB
// Words faulted in ahead of the writer by one call (see fault_in_ahead).
constexpr std::size_t kStretchWords = std::size_t{1} << 13;  // 64 KiB

constexpr std::uint64_t kPt = json::tape::short_string_word("pt");
constexpr std::uint64_t kMc = json::tape::short_string_word("mc");
constexpr std::uint64_t kRc = json::tape::short_string_word("rc");
constexpr std::string_view kMarketDefinition = "marketDefinition";
constexpr std::uint64_t kMarketDefinitionHead =
    json::tape::make(json::tape::kString, kMarketDefinition.size());

using base::round_to_pages;

bool is_full_chunk(std::size_t bytes) {
  return bytes == round_to_pages(kChunkWords * sizeof(std::uint64_t));
}

// Full chunks of stores that are gone, their pages still in memory, for the next stores to
// write into: loading many files in turn would otherwise spend a quarter of each load having
// the kernel map and zero fresh chunks and take them back. Four slots: a loop that rebinds its
// iterator still holds the last store while the next one loads, the background loader runs up
// to four loads ahead, and a file of up to 8 MiB of words (about as many bytes of text) reloads
// without mapping anything.
// They are not marked MADV_FREE for the kernel to take under pressure: that call and the first
// writes after it cost about a tenth of a 4 MB load, most of what keeping the chunk saves. A
// chunk's first word says how many of its bytes are in memory (it is one of them).
base::Shelf<std::uint64_t, base::kTapeChunks> g_spare_chunks;

// Line parsers of stores that are done, with the space they grew for their longest line: a
// fresh parser grows its buffers line by line, and the allocator hands each step back to the
// system. A parser keeps about 12 bytes per byte of its longest line, so one that met a line
// longer than base::kParserLineBytes lets its space go first.
base::Shelf<json::Parser, base::kParsers> g_spare_parsers;

std::unique_ptr<json::Parser> take_parser() {
  if (json::Parser* kept = g_spare_parsers.take()) return std::unique_ptr<json::Parser>(kept);
  return std::make_unique<json::Parser>();
}

void keep_parser(std::unique_ptr<json::Parser> parser, std::size_t longest_line) {
  if (parser == nullptr) return;
  if (longest_line > base::kParserLineBytes) parser->release_memory();
  if (g_spare_parsers.keep(parser.get())) parser.release();
}

void release_chunks() {
  const std::size_t bytes = round_to_pages(kChunkWords * sizeof(std::uint64_t));
  g_spare_chunks.drain([bytes](std::uint64_t* words) { base::unmap_pages(words, bytes); });
}

void release_parsers() {
  g_spare_parsers.drain([](json::Parser* parser) { delete parser; });
}

[[maybe_unused]] const bool g_registered =
    base::register_kept_cache(
        {"tape chunks", [] { return g_spare_chunks.count(); }, release_chunks}) &&
    base::register_kept_cache(
        {"line parsers", [] { return g_spare_parsers.count(); }, release_parsers});

// What decides whether a line is a message, from its root object's members. Keys are matched
// by their tape word: "pt", "mc" and "rc" are short strings of one word each, and the only long
// key looked for, "marketDefinition", is told apart by its head word before its bytes.
struct RootFields {
  json::Value publish_time;                // absent when the line has none
  const std::uint64_t* changes = nullptr;  // the "mc" value
  bool is_change = false;                  // a "marketDefinition" or "rc" member
};

RootFields scan_root(const std::uint64_t* root) {
  using namespace json::tape;
  RootFields fields;
  const std::uint64_t* p = root + 1;
  const std::uint64_t* const end = p + payload_of(*root);
  while (p != end) {
    const std::uint64_t key = *p;
    const std::uint64_t* value = p + 1;
    if (tag_of(key) == kString) {
      value += (payload_of(key) + 7) / 8;
      fields.is_change |=
          key == kMarketDefinitionHead &&
          std::memcmp(p + 1, kMarketDefinition.data(), kMarketDefinition.size()) == 0;
    } else if (key == kPt) {
      fields.publish_time = json::Value(value);
    } else if (key == kMc) {
      fields.changes = value;
    } else if (key == kRc) {
      fields.is_change = true;
    }
    p = value + value_words(value);
  }
  return fields;
}

// The whole milliseconds a "pt" value names, or why it names none. Every whole double up to
// kLastPublishTime is exact (it is below 2^53), so a time written as a float is the number the
// interpreter's json.loads reads from it.
TimeFault whole_milliseconds(json::Value pt, std::int64_t& out) {
  if (!pt.present()) return TimeFault::kMissing;
  if (const std::optional<std::int64_t> whole = pt.as_int()) {
    out = *whole;
  } else if (pt.kind() == json::Kind::kDouble) {
    const double d = *pt.as_double();
    if (d > static_cast<double>(kLastPublishTime)) return TimeFault::kPastYear9999;
    if (!(d >= 1.0) || d != std::floor(d)) return TimeFault::kNotPositiveWhole;
    out = static_cast<std::int64_t>(d);
  } else if (pt.kind() == json::Kind::kUInt) {
    return TimeFault::kPastYear9999;  // beyond the signed 64-bit range
  } else {
    return TimeFault::kNotPositiveWhole;
  }
  if (out <= 0) return TimeFault::kNotPositiveWhole;
  if (out > kLastPublishTime) return TimeFault::kPastYear9999;
  return TimeFault::kNone;
}

}  // namespace

MessageStore::MessageStore() : parser_(take_parser()) {}

MessageStore::~MessageStore() {
  keep_parser(std::move(parser_), longest_line_);
}

int MessageStore::kept_chunks() {
  return g_spare_chunks.count();
}

MessageStore::Chunk::Chunk(std::size_t words)
    : bytes_(round_to_pages(words * sizeof(std::uint64_t))) {
  if (words == kChunkWords) {
    if (std::uint64_t* spare = g_spare_chunks.take()) {
      words_ = spare;
      populated_ = static_cast<std::size_t>(spare[0]);
      return;
    }
  }
  void* p = base::map_pages(bytes_);
  if (p == nullptr) throw std::bad_alloc();
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
    if (g_spare_chunks.keep(words_)) return;
  }
  base::unmap_pages(words_, bytes_);
}

void MessageStore::Chunk::populate(std::size_t from_bytes, std::size_t to_bytes) {
  // Whole pages, so that what is in memory always ends on a page: the kernel refuses a range
  // that starts inside one.
  const std::size_t page = base::page_size();
  from_bytes = std::max(from_bytes / page * page, populated_);
  to_bytes = round_to_pages(to_bytes);
  if (to_bytes > from_bytes) {
    base::prefault_pages(reinterpret_cast<char*>(words_) + from_bytes, to_bytes - from_bytes);
  }
  populated_ = std::max(populated_, to_bytes);
}

void MessageStore::Chunk::trim(std::size_t words) {
  // The pages faulted in ahead of the last words stay: giving them back would cost a call, and
  // the next store to take this chunk would fault them in again.
  const std::size_t keep = round_to_pages((words + kStretchWords) * sizeof(std::uint64_t));
  if (populated_ <= keep) return;
  base::release_pages(reinterpret_cast<char*>(words_) + keep, populated_ - keep);
  populated_ = keep;
}

void MessageStore::close_open_chunk() {
  if (free_ == nullptr) return;
  // Every chunk keeps its size, so that it can serve a later store once this one is gone; only
  // the pages an earlier, larger store left in it go back.
  chunks_[open_chunk_].trim(kChunkWords - free_words_);
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
  keep_parser(std::move(parser_), longest_line_);
}

LineFault MessageStore::add_line(std::string_view line, PublishTimes times) {
  longest_line_ = std::max(longest_line_, line.size());
  const json::ParseError err = parser_->parse(line);
  if (err) return {err, TimeFault::kNone, {}};

  const std::uint64_t* const root = parser_->words().data();
  if (!json::Value(root).is_object()) return {};
  const RootFields fields = scan_root(root);
  const bool has_changes_array =
      fields.changes != nullptr && json::Value(fields.changes).is_array();
  if (!has_changes_array && !fields.is_change) return {};
  std::int64_t publish_time = 0;
  if (times == PublishTimes::kIntegersAboveZero) {
    publish_time = fields.publish_time.as_int().value_or(0);
    if (publish_time <= 0) return {};
  } else if (const TimeFault fault = whole_milliseconds(fields.publish_time, publish_time);
             fault != TimeFault::kNone) {
    return {{}, fault, fields.publish_time};
  }

  const std::uint64_t* first = has_changes_array ? fields.changes : root;
  const std::size_t words = json::tape::value_words(first);
  std::uint64_t* stored = allocate(words);
  std::memcpy(stored, first, words * sizeof(std::uint64_t));
  messages_.push_back(ParsedMessage{stored, publish_time, !has_changes_array});
  return {};
}

}  // namespace vantrel
