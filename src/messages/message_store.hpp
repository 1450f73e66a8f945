// The messages kept from a stream file, decoded once and held until their iterator goes.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "messages/parsed_message.hpp"
#include "messages/parser.hpp"

namespace vantrel {

// Message records in fixed blocks: growing never copies the records already there, so at its
// peak a load holds each record once.
class MessageList {
 public:
  void push_back(const ParsedMessage& message) {
    if (size_ % kBlock == 0) blocks_.push_back(std::allocator<ParsedMessage>().allocate(kBlock));
    new (&blocks_.back()[size_ % kBlock]) ParsedMessage(message);
    ++size_;
  }
  const ParsedMessage& operator[](std::size_t i) const { return blocks_[i / kBlock][i % kBlock]; }
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
  ~MessageList() {
    for (ParsedMessage* block : blocks_) std::allocator<ParsedMessage>().deallocate(block, kBlock);
  }

 private:
  static constexpr std::size_t kBlock = 4096;  // 64 KiB
  std::vector<ParsedMessage*> blocks_;
  std::size_t size_ = 0;
};

// Decodes lines into tape words stored in large chunks, so the words of a whole file cost no
// reallocation and little slack.
class MessageStore {
 public:
  // Decodes one trimmed line and keeps it if it is a message; a JSON error is returned.
  json::ParseError add_line(std::string_view line);

  // Returns the slack of the growing buffers once the last line is in.
  void finish();

  const MessageList& messages() const { return messages_; }
  std::size_t size() const { return messages_.size(); }

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
    // Unmaps what lies past the first `words`.
    void shrink(std::size_t words);
    // Gives back the pages past the first `words`, keeping them mapped.
    void trim(std::size_t words);

   private:
    std::uint64_t* words_ = nullptr;
    std::size_t bytes_;
    std::size_t populated_ = 0;
  };
  void close_open_chunk();
  void fault_in_ahead();

  json::Parser parser_;
  std::vector<Chunk> chunks_;
  std::size_t open_chunk_ = 0;  // index of the chunk that free_ points into
  std::uint64_t* free_ = nullptr;
  std::size_t free_words_ = 0;
  std::uint64_t* ready_ = nullptr;  // the open chunk is faulted in up to here
  MessageList messages_;
};

}  // namespace vantrel
