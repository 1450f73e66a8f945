// One side of a runner's book: price levels with their sizes, and a change counter.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "messages/tape.hpp"

namespace vantrel {

struct PriceSize {
  double price;
  double size;
};

// Levels are kept in read-out order: by price (ties between 0.0 and -0.0 broken by bit
// pattern), descending for a descending ladder. A level is found by binary search and a
// read-out is a plain copy. Two prices are the same level exactly when their bit patterns are
// equal; stored sizes are never zero.
class PriceLadder {
 public:
  explicit PriceLadder(bool descending) : descending_(descending) {}

  // Applies [price, size] pairs in order; a zero size removes the level. Returns true (and
  // bumps the change counter once) when any level changed.
  bool update(json::Value price_changes);
  // Removes every level. Returns true (and bumps the change counter) when there were any.
  bool clear();

  // Every level, in the ladder's read-out order.
  std::vector<PriceSize> to_price_sizes() const;
  // Writes size() levels, in read-out order, to `out`.
  void copy_levels(PriceSize* out) const;
  // The levels in place, in read-out order: the top N are read without copying the rest.
  std::span<const PriceSize> levels() const { return levels_; }

  std::size_t size() const { return levels_.size(); }
  std::uint64_t change_counter() const { return change_counter_; }
  bool descending() const { return descending_; }

 private:
  bool set_level(double price, double size);

  // The very pairs a read-out hands on, in its order.
  std::vector<PriceSize> levels_;
  std::uint64_t change_counter_ = 0;
  bool descending_;
};

// A ladder of the best-offers projections, keyed by level rather than price: each entry is
// [level, price, size], a new entry replaces its level's price and size whole, and a zero size
// removes the level. Read out by level, lowest first.
class LevelLadder {
 public:
  // Applies [level, price, size] entries in order. Returns true (and bumps the change counter
  // once) when any level changed.
  bool update(json::Value level_changes);

  std::span<const PriceSize> levels() const { return levels_; }
  std::size_t size() const { return levels_.size(); }
  std::uint64_t change_counter() const { return change_counter_; }

 private:
  bool set_level(double level, double price, double size);

  // Parallel arrays in ascending level order: the read-out is levels_ as it stands.
  std::vector<double> keys_;
  std::vector<PriceSize> levels_;
  std::uint64_t change_counter_ = 0;
};

}  // namespace vantrel
