// The column buffers against a plain model: whatever mix of pushes, nulls, cells written in
// place, truncations and appends a table goes through, the finished Arrow buffers must read
// back as the model's rows. Bit and byte boundaries are where such code goes wrong, so the
// operations are drawn at random over many seeds rather than listed by hand.
#include <doctest/doctest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tables/columns.hpp"

using namespace vantrel::tables;

namespace {

template <class T>
const T* values_of(const FinishedColumn& column, std::size_t buffer) {
  return static_cast<const T*>(column.buffers.at(buffer)->data);
}

bool bit(const Buffer& bits, std::size_t i) {
  return (static_cast<const std::uint8_t*>(bits.data)[i / 8] >> (i % 8)) & 1;
}

// The rows of a finished float column, nulls as nullopt; checks the null count on the way.
std::vector<std::optional<double>> read_floats(const FinishedColumn& column) {
  std::vector<std::optional<double>> rows;
  const auto* values = values_of<double>(column, 1);
  std::int64_t nulls = 0;
  for (std::int64_t i = 0; i < column.length; ++i) {
    const auto row = static_cast<std::size_t>(i);
    const bool valid = !column.buffers[0] || bit(*column.buffers[0], row);
    nulls += valid ? 0 : 1;
    rows.push_back(valid ? std::optional<double>(values[row]) : std::nullopt);
  }
  CHECK(nulls == column.null_count);
  if (column.buffers[0]) {
    // Arrow compares bitmaps bytewise: nothing may be set past the last row.
    const std::size_t length = static_cast<std::size_t>(column.length);
    for (std::size_t i = length; i < (length + 7) / 8 * 8; ++i)
      CHECK_FALSE(bit(*column.buffers[0], i));
  }
  return rows;
}

using FloatRows = std::vector<std::optional<double>>;

// Adds `count` rows to both the column and the model, in one of the ways the forms write them.
void add_rows(Float64Column& column, FloatRows& model, std::mt19937& random, std::size_t count) {
  std::bernoulli_distribution null_row(0.3);
  const auto value = [&] { return static_cast<double>(random() % 1000) / 4.0; };
  switch (random() % 3) {
    case 0:
      for (std::size_t i = 0; i < count; ++i) {
        std::optional<double> cell;
        if (!null_row(random)) cell = value();
        column.push(cell);
        model.push_back(cell);
      }
      break;
    case 1:
      column.reserve(column.size() + count);
      for (std::size_t i = 0; i < count; ++i) {
        if (null_row(random)) {
          column.push_null_reserved();
          model.push_back(std::nullopt);
        } else {
          model.push_back(value());
          column.push_reserved(*model.back());
        }
      }
      break;
    default: {
      // In place, as a book's cells are: rows reserved, written in any order, then counted.
      const std::size_t first = column.size();
      double* values = column.reserve_in_place(first + count);
      std::uint64_t* nulls = column.reserve_nulls_in_place(first + count);
      for (std::size_t i = count; i-- > 0;) {
        const std::size_t row = first + i;
        if (null_row(random)) {
          values[row] = 0.0;
          Validity::mark(nulls, row);
        } else {
          values[row] = value();
        }
      }
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t row = first + i;
        const bool is_null = (nulls[row >> 6] >> (row & 63)) & 1;
        model.push_back(is_null ? std::nullopt : std::optional<double>(values[row]));
      }
      column.set_rows(first + count);
    }
  }
}

}  // namespace

TEST_CASE("a float column reads back as its rows through pushes, truncations and appends") {
  for (unsigned seed = 1; seed <= 200; ++seed) {
    CAPTURE(seed);
    std::mt19937 random(seed);
    Float64Column column;
    FloatRows model;
    for (int step = 0; step < 12; ++step) {
      const std::size_t count = random() % 3 == 0 ? random() % 150 : random() % 12;
      switch (random() % 4) {
        case 0:
        case 1:
          add_rows(column, model, random, count);
          break;
        case 2: {
          // A failed recording's rows are cut off again.
          const std::size_t keep = model.empty() ? 0 : random() % (model.size() + 1);
          column.truncate(keep);
          model.resize(keep);
          break;
        }
        default: {
          Float64Column other;
          FloatRows other_model;
          add_rows(other, other_model, random, count);
          column.append(other);
          model.insert(model.end(), other_model.begin(), other_model.end());
        }
      }
      REQUIRE(column.size() == model.size());
    }
    CHECK(read_floats(column.finish("x")) == model);
  }
}

TEST_CASE("a truncation that cuts nothing leaves the room reserved in place to be written") {
  // A form reserves rows ahead and writes several books through the same addresses; cutting a
  // grid back to the rows it keeps may cut none, and the books after it must keep their nulls.
  Float64Column column;
  double* values = column.reserve_in_place(64);
  std::uint64_t* nulls = column.reserve_nulls_in_place(64);
  FloatRows model;
  const auto write = [&](std::size_t first, std::size_t count) {
    for (std::size_t row = first; row < first + count; ++row) {
      if (row % 3 == 1) {
        Validity::mark(nulls, row);
        model.push_back(std::nullopt);
      } else {
        values[row] = static_cast<double>(row);
        model.push_back(values[row]);
      }
    }
    column.set_rows(first + count);
  };
  write(0, 10);
  column.truncate(10);
  write(10, 30);
  CHECK(read_floats(column.finish("x")) == model);
}

TEST_CASE("a bool column keeps its bits and nulls across unaligned appends and truncations") {
  for (unsigned seed = 1; seed <= 200; ++seed) {
    CAPTURE(seed);
    std::mt19937 random(seed);
    BoolColumn column;
    std::vector<std::optional<bool>> model;
    for (int step = 0; step < 10; ++step) {
      const std::size_t count = random() % 40;
      if (random() % 3 == 0) {
        const std::size_t keep = model.empty() ? 0 : random() % (model.size() + 1);
        column.truncate(keep);
        model.resize(keep);
        continue;
      }
      BoolColumn other;
      for (std::size_t i = 0; i < count; ++i) {
        std::optional<bool> value;
        if (random() % 4 != 0) value = random() % 2 == 1;
        other.push(value);
        model.push_back(value);
      }
      column.append(other);
    }
    const FinishedColumn finished = column.finish("b");
    REQUIRE(finished.length == static_cast<std::int64_t>(model.size()));
    std::int64_t nulls = 0;
    for (std::size_t i = 0; i < model.size(); ++i) {
      CAPTURE(i);
      const bool valid = !finished.buffers[0] || bit(*finished.buffers[0], i);
      REQUIRE(valid == model[i].has_value());
      nulls += valid ? 0 : 1;
      if (valid) CHECK(bit(*finished.buffers[1], i) == *model[i]);
    }
    CHECK(finished.null_count == nulls);
  }
}

TEST_CASE("a dictionary numbers texts in order of first appearance, however long or many") {
  // Short texts, texts of exactly the packed width, longer ones, texts that differ only in a
  // trailing zero byte, and enough of them to pass every lookup strategy.
  std::vector<std::string> texts = {"OPEN", "SUSPENDED", "CLOSED",    "",     std::string("A\0", 2),
                                    "A",    "12345678",  "123456789", "Back", "Lay"};
  for (int i = 0; i < 40; ++i) texts.push_back("1." + std::to_string(200000000 + i * 7919));
  const auto dictionary = std::make_shared<StringDictionary>();
  DictionaryColumn column(dictionary);
  DictionaryColumn twin(dictionary);
  std::vector<std::optional<std::string>> model;
  std::mt19937 random(7);
  for (int i = 0; i < 2000; ++i) {
    std::optional<std::string> text;
    if (random() % 10 != 0) text = texts[random() % (i < 100 ? 8 : texts.size())];
    // Half the rows come through a column sharing the dictionary, joined at the end.
    (i < 1000 ? column : twin).push(text);
    model.push_back(text);
  }
  column.append(twin);
  twin.truncate(0);
  const FinishedColumn twin_finished = twin.finish("t");
  const FinishedColumn finished = column.finish("d");

  REQUIRE(finished.child_buffers.size() == 3);
  const auto* offsets = static_cast<const std::int32_t*>(finished.child_buffers[1]->data);
  const auto* bytes = static_cast<const char*>(finished.child_buffers[2]->data);
  const auto* indices = values_of<std::int32_t>(finished, 1);
  std::vector<std::string> seen;
  for (std::size_t i = 0; i < model.size(); ++i) {
    CAPTURE(i);
    const bool valid = !finished.buffers[0] || bit(*finished.buffers[0], i);
    REQUIRE(valid == model[i].has_value());
    if (!valid) continue;
    const auto index = static_cast<std::size_t>(indices[i]);
    REQUIRE(index < static_cast<std::size_t>(finished.child_length));
    CHECK(std::string(bytes + offsets[index], bytes + offsets[index + 1]) == *model[i]);
    // Numbered in order of first appearance, each text once.
    if (index == seen.size()) seen.push_back(*model[i]);
    CHECK(seen.at(index) == *model[i]);
  }
  CHECK(seen.size() == static_cast<std::size_t>(finished.child_length));
  CHECK(twin_finished.child_length == finished.child_length);
}

TEST_CASE("a list column's offsets stay right across appends and truncations") {
  std::mt19937 random(3);
  Int64ListColumn column;
  std::vector<std::vector<std::int64_t>> model;
  for (int step = 0; step < 50; ++step) {
    Int64ListColumn other;
    for (std::size_t row = random() % 5; row-- > 0;) {
      std::vector<std::int64_t> items(random() % 4);
      for (auto& item : items) item = static_cast<std::int64_t>(random());
      other.push(items);
      model.push_back(items);
    }
    column.append(other);
    if (random() % 4 == 0) {
      const std::size_t keep = random() % (model.size() + 1);
      column.truncate(keep);
      model.resize(keep);
    }
  }
  const FinishedColumn finished = column.finish("l");
  REQUIRE(finished.length == static_cast<std::int64_t>(model.size()));
  const auto* offsets = values_of<std::int32_t>(finished, 1);
  const auto* values = static_cast<const std::int64_t*>(finished.child_buffers[1]->data);
  CHECK(finished.child_length == offsets[model.size()]);
  for (std::size_t i = 0; i < model.size(); ++i) {
    CHECK(std::vector<std::int64_t>(values + offsets[i], values + offsets[i + 1]) == model[i]);
  }
}

TEST_CASE("a column made after a finished one starts clean in the pages it takes over") {
  // Finished tables hand their first mappings on to the next buffers; stale bits there would
  // show as nulls or values that were never written.
  for (int round = 0; round < 3; ++round) {
    Float64Column dirty;
    for (int i = 0; i < 5000; ++i) dirty.push_null();
    (void)dirty.finish("dirty");
    Float64Column fresh;
    FloatRows model;
    std::mt19937 random(static_cast<unsigned>(round));
    add_rows(fresh, model, random, 300);
    CHECK(read_floats(fresh.finish("fresh")) == model);
  }
}
