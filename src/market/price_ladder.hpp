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
// equal; stored sizes are never zero. A change of a few pairs is applied pair by pair; the
// rest of a wide one (an image lists a whole ladder, in whatever order its writer kept) is
// sorted and merged in one pass, as the pairs one by one would leave it.
class PriceLadder {
 public:
  explicit PriceLadder(bool descending) : descending_(descending) {}

  // Applies [price, size] pairs in order; a zero size removes the level, and of pairs of the
  // same price the last one stands. Returns true (and bumps the change counter once) when any
  // pair changed a level, even if a later one changed it back.
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

  // The entries of a change past this many are merged rather than applied one by one.
  static constexpr std::size_t kMergedFrom = 32;

 private:
  // Whether price `a` comes before `b` in read-out order.
  bool precedes(double a, double b) const;
  bool set_level(double price, double size);
  // `pairs`, in the order they came, applied to the ladder at once.
  bool merge(std::vector<PriceSize>& pairs);

  // The very pairs a read-out hands on, in its order.
  std::vector<PriceSize> levels_;
  std::uint64_t change_counter_ = 0;
  bool descending_;
};

// A ladder of the best-offers projections, keyed by level rather than price: each entry is
// [level, price, size], a new entry replaces its level's price and size whole, and a zero size
// removes the level. Read out by level, lowest first. A wide change is merged as a
// PriceLadder's is.
class LevelLadder {
 public:
  // Applies [level, price, size] entries in order. Returns true (and bumps the change counter
  // once) when any entry changed a level.
  bool update(json::Value level_changes);

  std::span<const PriceSize> levels() const { return levels_; }
  std::size_t size() const { return levels_.size(); }
  std::uint64_t change_counter() const { return change_counter_; }

 private:
  struct Entry {
    double level;
    PriceSize value;
  };

  bool set_level(double level, double price, double size);
  // `entries`, in the order they came, applied to the ladder at once.
  bool merge(std::vector<Entry>& entries);

  // Parallel arrays in ascending level order: the read-out is levels_ as it stands.
  std::vector<double> keys_;
  std::vector<PriceSize> levels_;
  std::uint64_t change_counter_ = 0;
};

}  // namespace vantrel
