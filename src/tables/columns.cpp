#include "tables/columns.hpp"

#include <bit>
#include <cstddef>
#include <cstring>

#include "base/kept.hpp"
#include "base/platform.hpp"

namespace vantrel::tables {

namespace {

base::Shelf<std::byte, base::kFirstMappings> g_first_mappings;

[[maybe_unused]] const bool g_registered = base::register_kept_cache(
    {"column first mappings", [] { return g_first_mappings.count(); },
     [] {
       g_first_mappings.drain([](std::byte* p) { base::unmap_pages(p, FirstMappings::kBytes); });
     }});

}  // namespace

void* FirstMappings::take() {
  if (std::byte* kept = g_first_mappings.take()) return kept;
  return base::map_pages(kBytes);
}

void FirstMappings::give_back(void* p) {
  if (!g_first_mappings.keep(static_cast<std::byte*>(p))) base::unmap_pages(p, kBytes);
}

void BitBuffer::append(const BitBuffer& other) {
  if ((size_ & 7) == 0) {
    // Byte-aligned: whole bytes carry over as they are.
    bytes_.append(other.bytes_.data(), other.bytes_.size());
    size_ += other.size_;
    return;
  }
  for (std::size_t i = 0; i < other.size_; ++i) push(other.get(i));
}

void BitBuffer::truncate(std::size_t size) {
  if (size >= size_) return;
  size_ = size;
  bytes_.resize((size + 7) / 8);
  // Bits past the end must stay clear for a later push, which ORs into the last byte.
  if ((size & 7) != 0) bytes_.back() &= static_cast<std::uint8_t>((1u << (size & 7)) - 1);
}

Buffer BitBuffer::release() {
  size_ = 0;
  return Buffer::of(std::move(bytes_));
}

std::int32_t StringDictionary::intern_slow(std::string_view text) {
  // Past the packed texts, a scan of a few more is still cheaper than hashing the text.
  if (size() <= kScanned) {
    for (std::size_t i = 0; i < size(); ++i) {
      if (at(i) == text) return static_cast<std::int32_t>(i);
    }
    if (size() < kScanned) {
      index_.emplace(std::string(text), static_cast<std::int32_t>(size()));
      // A long text never matches a packed one: its slot only keeps the numbering.
      packed_.push_back(text.size() <= kPackedBytes ? pack(text) : Packed{0, kPackedBytes + 1});
      bytes_.append(text);
      offsets_.push_back(static_cast<std::int32_t>(bytes_.size()));
      return static_cast<std::int32_t>(size() - 1);
    }
  }
  const auto [it, added] = index_.try_emplace(std::string(text), static_cast<std::int32_t>(size()));
  if (added) {
    bytes_.append(text);
    offsets_.push_back(static_cast<std::int32_t>(bytes_.size()));
  }
  return it->second;
}

std::vector<std::optional<Buffer>> StringDictionary::release() {
  std::vector<char> bytes(bytes_.begin(), bytes_.end());
  bytes_.clear();
  index_.clear();
  packed_.clear();
  return {std::nullopt, Buffer::of(std::move(offsets_)), Buffer::of(std::move(bytes))};
}

void Validity::append(const Validity& other, std::size_t rows_before) {
  for (std::size_t byte = 0; byte < other.null_bits_.size(); ++byte) {
    const std::uint8_t bits = other.null_bits_[byte];
    for (std::size_t bit = 0; bits >> bit != 0; ++bit) {
      if ((bits >> bit) & 1) push_null(rows_before + byte * 8 + bit);
    }
  }
}

void Validity::truncate(std::size_t size) {
  // The bitmap keeps its length: it may be room reserved in place, which rows are still to be
  // marked in through an address handed out before. Nulls past the end are cleared instead, so
  // that they do not count, nor show again once rows come back there.
  const std::size_t whole = (size + 7) / 8;
  if (whole < null_bits_.size()) {
    std::memset(null_bits_.data() + whole, 0, null_bits_.size() - whole);
  }
  if ((size & 7) != 0 && whole <= null_bits_.size()) {
    null_bits_[size / 8] &= static_cast<std::uint8_t>((1u << (size & 7)) - 1);
  }
}

std::int64_t Validity::null_count() const {
  std::int64_t nulls = 0;
  std::size_t i = 0;
  for (; i + 8 <= null_bits_.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, null_bits_.data() + i, 8);
    nulls += std::popcount(word);
  }
  for (; i < null_bits_.size(); ++i) nulls += std::popcount(null_bits_[i]);
  return nulls;
}

std::optional<Buffer> Validity::release(std::size_t rows) {
  if (null_count() == 0) return std::nullopt;
  const std::size_t bytes = (rows + 7) / 8;
  null_bits_.resize(bytes);
  for (std::size_t i = 0; i < bytes; ++i) null_bits_[i] = static_cast<std::uint8_t>(~null_bits_[i]);
  // Arrow reads no bit past the last row, but a bitmap that is clear there compares equal.
  if ((rows & 7) != 0) null_bits_[bytes - 1] &= static_cast<std::uint8_t>((1u << (rows & 7)) - 1);
  return Buffer::of(std::move(null_bits_));
}

FinishedColumn BoolColumn::finish(std::string name) {
  const std::size_t rows = bits_.size();
  FinishedColumn out(std::move(name), ColumnKind::kBool, rows, validity_.null_count());
  std::optional<Buffer> validity = validity_.release(rows);
  out.buffers = {std::move(validity), bits_.release()};
  return out;
}

void DictionaryColumn::append(const Column& other) {
  const auto& o = static_cast<const DictionaryColumn&>(other);
  validity_.append(o.validity_, indices_.size());
  indices_.append(o.indices_.data(), o.indices_.size());
}

FinishedColumn DictionaryColumn::finish(std::string name) {
  FinishedColumn out(std::move(name), ColumnKind::kDictionary, indices_.size(),
                     validity_.null_count());
  std::optional<Buffer> validity = validity_.release(indices_.size());
  out.buffers = {std::move(validity), Buffer::of(std::move(indices_))};
  // The dictionary is shared; the last column to finish hands it on, the others copy it.
  out.child_length = static_cast<std::int64_t>(dictionary_->size());
  if (dictionary_.use_count() == 1) {
    out.child_buffers = dictionary_->release();
  } else {
    StringDictionary copy = *dictionary_;
    out.child_buffers = copy.release();
  }
  dictionary_.reset();
  return out;
}

void Int64ListColumn::append(const Column& other) {
  const auto& o = static_cast<const Int64ListColumn&>(other);
  const std::int32_t base = offsets_.back();
  for (std::size_t i = 1; i < o.offsets_.size(); ++i) offsets_.push_back(base + o.offsets_[i]);
  values_.insert(values_.end(), o.values_.begin(), o.values_.end());
}

FinishedColumn Int64ListColumn::finish(std::string name) {
  FinishedColumn out(std::move(name), ColumnKind::kListInt64, offsets_.size() - 1, 0);
  out.child_length = static_cast<std::int64_t>(values_.size());
  out.buffers = {std::nullopt, Buffer::of(std::move(offsets_))};
  out.child_buffers = {std::nullopt, Buffer::of(std::move(values_))};
  return out;
}

void ColumnSet::truncate(std::size_t rows) {
  for (Named& n : columns_) n.column->truncate(rows);
}

void ColumnSet::reserve(std::size_t rows) {
  for (Named& n : columns_) n.column->reserve(rows);
}

void ColumnSet::append(const ColumnSet& other) {
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    columns_[i].column->append(*other.columns_[i].column);
  }
}

std::vector<FinishedColumn> ColumnSet::finish() {
  std::vector<FinishedColumn> out;
  out.reserve(columns_.size());
  for (Named& n : columns_) out.push_back(n.column->finish(std::move(n.name)));
  columns_.clear();
  return out;
}

}  // namespace vantrel::tables
