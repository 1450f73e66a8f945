// Column buffers laid out as Arrow keeps its arrays, so that the Python layer hands them to
// pyarrow as they are: values in one contiguous buffer, validity and booleans as bitmaps
// (least significant bit first), strings as dictionary indices into a shared dictionary, lists
// as offsets into a child column. Nothing here knows the stream or the interpreter.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tables/pod_buffer.hpp"

namespace vantrel::tables {

// Bytes handed on with whatever keeps them alive.
struct Buffer {
  std::shared_ptr<const void> owner;
  const void* data = nullptr;
  std::size_t size = 0;

  template <class T>
  static Buffer of(std::vector<T>&& values) {
    auto held = std::make_shared<const std::vector<T>>(std::move(values));
    return {held, held->data(), held->size() * sizeof(T)};
  }
  template <class T>
  static Buffer of(PodBuffer<T>&& values) {
    const std::size_t size = values.size() * sizeof(T);
    std::shared_ptr<const T> held = values.release();
    const void* data = held.get();
    return {std::move(held), data, size};
  }
};

enum class ColumnKind : std::uint8_t {
  kFloat64,
  kInt64,
  kTimestampMs,
  kBool,
  kDictionary,  // int32 indices into a string dictionary
  kListInt64,
};

// A finished column: its Arrow buffers in Arrow's order (validity first, absent when there are
// no nulls) and, for a dictionary or a list, its dictionary or child values.
struct FinishedColumn {
  FinishedColumn(std::string n, ColumnKind k, std::size_t rows, std::int64_t nulls)
      : name(std::move(n)), kind(k), length(static_cast<std::int64_t>(rows)), null_count(nulls) {}

  std::string name;
  ColumnKind kind;
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  std::vector<std::optional<Buffer>> buffers;
  std::int64_t child_length = 0;
  std::vector<std::optional<Buffer>> child_buffers;
};

class BitBuffer {
 public:
  void push(bool bit) {
    if ((size_ & 7) == 0) bytes_.push_back(0);
    bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | (unsigned{bit} << (size_ & 7)));
    ++size_;
  }
  void reserve(std::size_t bits) { bytes_.reserve((bits + 7) / 8); }
  void append(const BitBuffer& other);
  void truncate(std::size_t size);
  std::size_t size() const { return size_; }
  bool get(std::size_t i) const { return (bytes_[i >> 3] >> (i & 7)) & 1; }
  Buffer release();

 private:
  PodBuffer<std::uint8_t> bytes_;
  std::size_t size_ = 0;
};

// Strings numbered in order of first appearance, shared by every column that indexes it.
class StringDictionary {
 public:
  std::int32_t intern(std::string_view text) {
    // Most dictionaries hold a handful of short values (statuses, sides, one market id).
    if (text.size() <= kPackedBytes) {
      const Packed p = pack(text);
      for (std::size_t i = 0; i < packed_.size(); ++i) {
        if (packed_[i].word == p.word && packed_[i].size == p.size) {
          return static_cast<std::int32_t>(i);
        }
      }
    }
    return intern_slow(text);
  }
  std::size_t size() const { return offsets_.size() - 1; }
  // The Arrow string array: offsets, then bytes.
  std::vector<std::optional<Buffer>> release();

 private:
  std::int32_t intern_slow(std::string_view text);
  std::string_view at(std::size_t i) const {
    return std::string_view(bytes_).substr(static_cast<std::size_t>(offsets_[i]),
                                           static_cast<std::size_t>(offsets_[i + 1] - offsets_[i]));
  }
  // A text of up to 8 bytes packed into a word, so that the scan compares words, not texts.
  struct Packed {
    std::uint64_t word = 0;
    std::size_t size = 0;
  };
  static Packed pack(std::string_view text) {
    Packed p{0, text.size()};
    for (std::size_t i = 0; i < text.size(); ++i) {
      p.word |= std::uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
    }
    return p;
  }
  static constexpr std::size_t kScanned = 8;
  static constexpr std::size_t kPackedBytes = 8;

  std::vector<std::int32_t> offsets_{0};
  std::string bytes_;
  std::unordered_map<std::string, std::int32_t> index_;
  std::vector<Packed> packed_;  // of the first kScanned texts
};

// What every column of a table can do, whatever it holds.
class Column {
 public:
  virtual ~Column() = default;
  virtual std::size_t size() const = 0;
  virtual void truncate(std::size_t size) = 0;
  // Room for this many rows, so that the pushes up to it need not check.
  virtual void reserve(std::size_t rows) = 0;
  // `other` is a column of the same class (and dictionary).
  virtual void append(const Column& other) = 0;
  virtual FinishedColumn finish(std::string name) = 0;
};

// Most cells are valid: only the rows of nulls are marked, in a bitmap that reaches no further
// than the last null (or the rows reserved in place), so a valid cell costs nothing here.
// Arrow's validity bitmap, its complement, is made once when the column is finished.
class Validity {
  static_assert(std::endian::native == std::endian::little);

 public:
  void push_null(std::size_t row) {
    const std::size_t byte = row >> 3;
    // Rows mostly come in order: the bitmap is seldom more than a byte short.
    while (byte >= null_bits_.size()) null_bits_.push_back(0);
    mark(null_bits_.data(), row);
  }
  // The bitmap, long enough for `rows` rows, to be marked in place a word at a time: stores
  // through a byte pointer could alias anything and would make the writer reload all it holds.
  // (Arrow's bitmaps are least significant bit first: on a little-endian machine a word's bit
  // i is the bit i of its bytes in order.)
  std::uint64_t* reserve_in_place(std::size_t rows) {
    const std::size_t bytes = (rows + 63) / 64 * 8;
    if (null_bits_.size() < bytes) null_bits_.resize(bytes);
    return reinterpret_cast<std::uint64_t*>(null_bits_.data());
  }
  static void mark(std::uint64_t* words, std::size_t row) {
    words[row >> 6] |= std::uint64_t{1} << (row & 63);
  }
  static void mark(std::uint8_t* bits, std::size_t row) {
    bits[row >> 3] |= static_cast<std::uint8_t>(1u << (row & 7));
  }
  void append(const Validity& other, std::size_t rows_before);
  void truncate(std::size_t size);
  std::int64_t null_count() const;
  // The validity bitmap of a column of `rows` rows; none when nothing is null.
  std::optional<Buffer> release(std::size_t rows);

 private:
  PodBuffer<std::uint8_t> null_bits_;
};

template <class T, ColumnKind K>
class ValueColumn final : public Column {
 public:
  void push(T value) { values_.push_back(value); }
  void push_null() {
    validity_.push_null(values_.size());
    values_.push_back(T{});
  }
  void reserve(std::size_t rows) override { values_.reserve(rows); }
  // After reserve: the forms that write many cells a row check their room once per book.
  void push_reserved(T value) { values_.push_reserved(value); }
  void push_null_reserved() {
    validity_.push_null(values_.size());
    values_.push_reserved(T{});
  }
  // Room for `rows` rows, to be written in place through the addresses returned (a null row
  // holds T{} and is marked in the bitmap); set_rows then tells the column how many it holds.
  T* reserve_in_place(std::size_t rows) {
    values_.reserve(rows);
    return values_.data();
  }
  std::uint64_t* reserve_nulls_in_place(std::size_t rows) {
    return validity_.reserve_in_place(rows);
  }
  void set_rows(std::size_t rows) { values_.set_size(rows); }
  void push(const std::optional<T>& value) {
    if (value) {
      push(*value);
    } else {
      push_null();
    }
  }
  std::size_t size() const override { return values_.size(); }
  void truncate(std::size_t size) override {
    values_.resize(size);
    validity_.truncate(size);
  }
  void append(const Column& other) override {
    const auto& o = static_cast<const ValueColumn&>(other);
    validity_.append(o.validity_, values_.size());
    values_.append(o.values_.data(), o.values_.size());
  }
  FinishedColumn finish(std::string name) override {
    FinishedColumn out(std::move(name), K, values_.size(), validity_.null_count());
    std::optional<Buffer> validity = validity_.release(values_.size());
    out.buffers = {std::move(validity), Buffer::of(std::move(values_))};
    return out;
  }

 private:
  PodBuffer<T> values_;
  Validity validity_;
};

using Float64Column = ValueColumn<double, ColumnKind::kFloat64>;
using Int64Column = ValueColumn<std::int64_t, ColumnKind::kInt64>;
using TimestampColumn = ValueColumn<std::int64_t, ColumnKind::kTimestampMs>;

class BoolColumn final : public Column {
 public:
  void push(bool value) { bits_.push(value); }
  void push_null() {
    validity_.push_null(bits_.size());
    bits_.push(false);
  }
  void push(std::optional<bool> value) {
    if (value) {
      push(*value);
    } else {
      push_null();
    }
  }
  std::size_t size() const override { return bits_.size(); }
  void reserve(std::size_t rows) override { bits_.reserve(rows); }
  void truncate(std::size_t size) override {
    bits_.truncate(size);
    validity_.truncate(size);
  }
  void append(const Column& other) override {
    const auto& o = static_cast<const BoolColumn&>(other);
    validity_.append(o.validity_, bits_.size());
    bits_.append(o.bits_);
  }
  FinishedColumn finish(std::string name) override;

 private:
  BitBuffer bits_;
  Validity validity_;
};

class DictionaryColumn final : public Column {
 public:
  explicit DictionaryColumn(std::shared_ptr<StringDictionary> dictionary)
      : dictionary_(std::move(dictionary)) {}
  // For a value looked up once and written on many rows.
  void push_index(std::int32_t index) { indices_.push_back(index); }
  void push_index_reserved(std::int32_t index) { indices_.push_reserved(index); }
  void push_null_reserved() {
    validity_.push_null(indices_.size());
    indices_.push_reserved(0);
  }
  void reserve(std::size_t rows) override { indices_.reserve(rows); }
  void push(std::string_view text) { push_index(dictionary_->intern(text)); }
  void push(const std::string& text) { push(std::string_view(text)); }
  void push_null() {
    validity_.push_null(indices_.size());
    indices_.push_back(0);
  }
  void push(const std::optional<std::string>& text) {
    if (text) {
      push(*text);
    } else {
      push_null();
    }
  }
  StringDictionary& dictionary() { return *dictionary_; }
  std::size_t size() const override { return indices_.size(); }
  void truncate(std::size_t size) override {
    indices_.resize(size);
    validity_.truncate(size);
  }
  void append(const Column& other) override;
  FinishedColumn finish(std::string name) override;

 private:
  std::shared_ptr<StringDictionary> dictionary_;
  PodBuffer<std::int32_t> indices_;
  Validity validity_;
};

// A list of int64 per row (never null; an empty list for none).
class Int64ListColumn final : public Column {
 public:
  void push(const std::vector<std::int64_t>& items) {
    values_.insert(values_.end(), items.begin(), items.end());
    offsets_.push_back(static_cast<std::int32_t>(values_.size()));
  }
  std::size_t size() const override { return offsets_.size() - 1; }
  void reserve(std::size_t rows) override { offsets_.reserve(rows + 1); }
  void truncate(std::size_t size) override {
    offsets_.resize(size + 1);
    values_.resize(static_cast<std::size_t>(offsets_.back()));
  }
  void append(const Column& other) override;
  FinishedColumn finish(std::string name) override;

 private:
  std::vector<std::int32_t> offsets_{0};
  std::vector<std::int64_t> values_;
};

// Named columns in the order a table shows them; the owner of a ColumnSet keeps typed
// pointers to fill them.
class ColumnSet {
 public:
  template <class C, class... Args>
  C& add(std::string name, Args&&... args) {
    auto column = std::make_unique<C>(std::forward<Args>(args)...);
    C& ref = *column;
    columns_.push_back({std::move(name), std::move(column)});
    return ref;
  }
  std::size_t rows() const { return columns_.empty() ? 0 : columns_.front().column->size(); }
  void truncate(std::size_t rows);
  void reserve(std::size_t rows);
  // `other` was built by the same code, column for column.
  void append(const ColumnSet& other);
  std::vector<FinishedColumn> finish();

 private:
  struct Named {
    std::string name;
    std::unique_ptr<Column> column;
  };
  std::vector<Named> columns_;
};

}  // namespace vantrel::tables
