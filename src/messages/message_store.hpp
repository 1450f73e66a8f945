// The messages kept from a stream file, decoded once and held until their iterator goes.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/kept.hpp"
#include "base/scratch.hpp"
#include "messages/parsed_message.hpp"
#include "messages/parser.hpp"

namespace vantrel {

// How a line's publish time ("pt") is read.
enum class PublishTimes : std::uint8_t {
  // As iter_prices_file always has: an integer literal above 0. A line with any other time, or
  // none, is not a message and is passed over.
  kIntegersAboveZero,
  // As the package reads them: a whole number of milliseconds in either form of JSON number
  // (1617043020018, or 1617043020018.0 as a recorder that held it as a float writes it), from 1
  // to the last millisecond a datetime holds. A message with any other time, or none, is
  // refused (see LineFault): passing it over would lose its changes for every later book.
  kWholeMilliseconds,
};

// 9999-12-31T23:59:59.999Z: the last publish time a datetime holds.
inline constexpr std::int64_t kLastPublishTime = 253'402'300'799'999;

// Why a message's time is refused under PublishTimes::kWholeMilliseconds.
enum class TimeFault : std::uint8_t { kNone, kMissing, kNotPositiveWhole, kPastYear9999 };

// What add_line refused: a line that is not JSON, or a message whose time is no publish time.
// `time` is that message's "pt" (absent when it has none), readable until the next line.
struct LineFault {
  json::ParseError parse;
  TimeFault time_fault = TimeFault::kNone;
  json::Value time;
  explicit operator bool() const { return parse || time_fault != TimeFault::kNone; }
};

// Message records in fixed blocks: growing never copies the records already there, so at its
// peak a load holds each record once. The blocks are the loads' kept scratch buffers: a small
// file's single block would otherwise grow the heap and trim it back on every load.
class MessageList {
 public:
  void push_back(const ParsedMessage& message) {
    if (size_ % kBlock == 0) blocks_.emplace_back(kBlock * sizeof(ParsedMessage));
    new (block(blocks_.size() - 1) + size_ % kBlock) ParsedMessage(message);
    ++size_;
  }
  const ParsedMessage& operator[](std::size_t i) const { return block(i / kBlock)[i % kBlock]; }
  std::size_t size() const { return size_; }

  class iterator {
   public:
    iterator(const MessageList& list, std::size_t i) : list_(&list), i_(i) {}
    const ParsedMessage& operator*() const { return (*list_)[i_]; }
    iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator!=(const iterator& o) const { return i_ != o.i_; }

   private:
    const MessageList* list_;
    std::size_t i_;
  };
  iterator begin() const { return iterator(*this, 0); }
  iterator end() const { return iterator(*this, size_); }

  MessageList() = default;
  MessageList(const MessageList&) = delete;
  MessageList& operator=(const MessageList&) = delete;

 private:
  static_assert(std::is_trivially_destructible_v<ParsedMessage>);
  static constexpr std::size_t kBlock = 4096;  // 64 KiB

  ParsedMessage* block(std::size_t b) const {
    return std::launder(reinterpret_cast<ParsedMessage*>(blocks_[b].data()));
  }

  std::vector<base::ScratchBuffer> blocks_;
  std::size_t size_ = 0;
};

// Decodes lines into tape words stored in large chunks, so the words of a whole file cost no
// reallocation and little slack. Full chunks and the line parser outlive the store that used
// them, within a bound, so that loading many files in turn does not map, fault in and give back
// the same memory each time.
class MessageStore {
 public:
  MessageStore();
  MessageStore(const MessageStore&) = delete;
  MessageStore& operator=(const MessageStore&) = delete;
  ~MessageStore();

  // Decodes one trimmed line and keeps it if it is a message, its time read by `times`; what it
  // refuses is returned. No line comes after finish().
  LineFault add_line(std::string_view line, PublishTimes times = PublishTimes::kIntegersAboveZero);

  // Returns the slack of the growing buffers once the last line is in, and hands the parser on
  // to the next store.
  void finish();

  const MessageList& messages() const { return messages_; }
  std::size_t size() const { return messages_.size(); }

  // Full chunks kept for the next stores, and the most there can be (each holds up to 2 MiB of
  // memory): for tests and the memory bound.
  static int kept_chunks();
  static constexpr int kKeptChunkLimit = base::kTapeChunks;

 private:
  std::uint64_t* allocate(std::size_t words);

  // Words mapped straight from the system, so the unused tail of the last chunk can be
  // handed back without moving the words before it.
  class Chunk {
   public:
    explicit Chunk(std::size_t words);
    Chunk(Chunk&& o) noexcept;
    Chunk& operator=(Chunk&&) = delete;
    ~Chunk();
    std::uint64_t* words() const { return words_; }
    // Bytes from the start known to be in memory (a chunk another store wrote into).
    std::size_t populated_bytes() const { return populated_; }
    // Faults in [from, to) in one call, less what is in memory already.
    void populate(std::size_t from_bytes, std::size_t to_bytes);
    // Gives back the pages well past the first `words`, keeping them mapped.
    void trim(std::size_t words);

   private:
    std::uint64_t* words_ = nullptr;
    std::size_t bytes_;
    std::size_t populated_ = 0;
  };
  void close_open_chunk();
  void fault_in_ahead();

  std::unique_ptr<json::Parser> parser_;
  std::size_t longest_line_ = 0;
  std::vector<Chunk> chunks_;
  std::size_t open_chunk_ = 0;  // index of the chunk that free_ points into
  std::uint64_t* free_ = nullptr;
  std::size_t free_words_ = 0;
  std::uint64_t* ready_ = nullptr;  // the open chunk is faulted in up to here
  MessageList messages_;
};

}  // namespace vantrel
