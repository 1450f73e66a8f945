#include "market/price_ladder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vantrel {
namespace {

std::uint64_t bits(double d) {
  return std::bit_cast<std::uint64_t>(d);
}

// Applies a change's entries one by one while they are few, and hands the rest of a wide one
// to `merge_rest` whole: an insert moves every level after it, so entries that each land near
// the front cost the square of their number, where sorting them and merging costs a pass.
template <class Entry, class Read, class ApplyOne, class MergeRest>
bool apply_entries(json::Value change, Read read, ApplyOne apply_one, MergeRest merge_rest) {
  bool changed = false;
  std::size_t applied = 0;
  std::vector<Entry> rest;
  for (const json::Value item : change.items()) {
    Entry entry;
    if (!read(item, entry)) continue;
    if (applied < PriceLadder::kMergedFrom) {
      changed |= apply_one(entry);
      ++applied;
    } else {
      rest.push_back(entry);
    }
  }
  if (!rest.empty()) changed |= merge_rest(rest);
  return changed;
}

}  // namespace

// Ascending order of (price, bits); a descending ladder keeps the exact reverse.
bool PriceLadder::precedes(double a, double b) const {
  if (descending_) std::swap(a, b);
  return a < b || (a == b && bits(a) < bits(b));
}

bool PriceLadder::set_level(double price, double size) {
  const auto it =
      std::lower_bound(levels_.begin(), levels_.end(), price,
                       [this](const PriceSize& l, double p) { return precedes(l.price, p); });
  const bool found = it != levels_.end() && bits(it->price) == bits(price);
  if (size == 0.0) {
    if (!found) return false;
    levels_.erase(it);
    return true;
  }
  if (found) {
    if (it->size == size) return false;
    it->size = size;
    return true;
  }
  levels_.insert(it, PriceSize{price, size});
  return true;
}

// The pairs of one price, in the order they came, take its level through the same steps as
// set_level would, one after another; the levels no pair names are copied across.
bool PriceLadder::merge(std::vector<PriceSize>& pairs) {
  const auto in_order = [this](const PriceSize& a, const PriceSize& b) {
    return precedes(a.price, b.price);
  };
  // An image lists its ladder in read-out order, mostly: no need to sort it again.
  if (!std::is_sorted(pairs.begin(), pairs.end(), in_order)) {
    std::stable_sort(pairs.begin(), pairs.end(), in_order);
  }
  std::vector<PriceSize> merged;
  merged.reserve(levels_.size() + pairs.size());
  auto old = levels_.begin();
  bool changed = false;
  for (auto pair = pairs.begin(); pair != pairs.end();) {
    const double price = pair->price;
    while (old != levels_.end() && precedes(old->price, price)) merged.push_back(*old++);
    // The level's size; 0 while there is no level, as sizes stored are never zero.
    double size = 0.0;
    if (old != levels_.end() && bits(old->price) == bits(price)) size = (old++)->size;
    for (; pair != pairs.end() && bits(pair->price) == bits(price); ++pair) {
      if (pair->size == 0.0) {
        changed |= size != 0.0;
        size = 0.0;
      } else if (size != pair->size) {
        size = pair->size;
        changed = true;
      }
    }
    if (size != 0.0) merged.push_back(PriceSize{price, size});
  }
  merged.insert(merged.end(), old, levels_.end());
  levels_ = std::move(merged);
  return changed;
}

bool PriceLadder::update(json::Value price_changes) {
  const auto read = [](json::Value pair, PriceSize& out) {
    json::Value price, size;
    if (!pair.is_array() || !pair.items().first_two(price, size)) return false;
    out = PriceSize{price.as_double().value_or(0.0), size.as_double().value_or(0.0)};
    return true;
  };
  const bool changed = apply_entries<PriceSize>(
      price_changes, read, [this](const PriceSize& p) { return set_level(p.price, p.size); },
      [this](std::vector<PriceSize>& rest) { return merge(rest); });
  if (changed) ++change_counter_;
  return changed;
}

bool PriceLadder::clear() {
  if (levels_.empty()) return false;
  levels_.clear();
  ++change_counter_;
  return true;
}

void PriceLadder::copy_levels(PriceSize* out) const {
  if (!levels_.empty()) std::memcpy(out, levels_.data(), levels_.size() * sizeof(PriceSize));
}

std::vector<PriceSize> PriceLadder::to_price_sizes() const {
  std::vector<PriceSize> out(levels_.size());
  copy_levels(out.data());
  return out;
}

bool LevelLadder::set_level(double level, double price, double size) {
  const auto it = std::lower_bound(keys_.begin(), keys_.end(), level);
  const auto at = levels_.begin() + (it - keys_.begin());
  const bool found = it != keys_.end() && *it == level;
  if (size == 0.0) {
    if (!found) return false;
    keys_.erase(it);
    levels_.erase(at);
    return true;
  }
  if (found) {
    if (bits(at->price) == bits(price) && at->size == size) return false;
    *at = PriceSize{price, size};
    return true;
  }
  keys_.insert(it, level);
  levels_.insert(at, PriceSize{price, size});
  return true;
}

// As PriceLadder::merge, by level: levels are the same when equal as numbers, and a level keeps
// the key of the entry that put it there.
bool LevelLadder::merge(std::vector<Entry>& entries) {
  const auto in_order = [](const Entry& a, const Entry& b) { return a.level < b.level; };
  if (!std::is_sorted(entries.begin(), entries.end(), in_order)) {
    std::stable_sort(entries.begin(), entries.end(), in_order);
  }
  std::vector<double> keys;
  std::vector<PriceSize> levels;
  keys.reserve(keys_.size() + entries.size());
  levels.reserve(keys.capacity());
  std::size_t old = 0;
  bool changed = false;
  for (auto entry = entries.begin(); entry != entries.end();) {
    const double level = entry->level;
    for (; old < keys_.size() && keys_[old] < level; ++old) {
      keys.push_back(keys_[old]);
      levels.push_back(levels_[old]);
    }
    // The level as it stands; a size of 0 while there is none, as sizes stored are never zero.
    Entry kept{level, PriceSize{0.0, 0.0}};
    if (old < keys_.size() && keys_[old] == level) {
      kept = Entry{keys_[old], levels_[old]};
      ++old;
    }
    for (; entry != entries.end() && entry->level == level; ++entry) {
      const PriceSize& value = entry->value;
      if (value.size == 0.0) {
        changed |= kept.value.size != 0.0;
        kept.value.size = 0.0;
      } else if (kept.value.size == 0.0) {
        kept = *entry;
        changed = true;
      } else if (bits(kept.value.price) != bits(value.price) || kept.value.size != value.size) {
        kept.value = value;
        changed = true;
      }
    }
    if (kept.value.size != 0.0) {
      keys.push_back(kept.level);
      levels.push_back(kept.value);
    }
  }
  keys.insert(keys.end(), keys_.begin() + static_cast<std::ptrdiff_t>(old), keys_.end());
  levels.insert(levels.end(), levels_.begin() + static_cast<std::ptrdiff_t>(old), levels_.end());
  keys_ = std::move(keys);
  levels_ = std::move(levels);
  return changed;
}

bool LevelLadder::update(json::Value level_changes) {
  // Entries are short arrays; an entry of fewer than three elements, or without a number for
  // its level, is not a level.
  const auto read = [](json::Value item, Entry& out) {
    if (!item.is_array()) return false;
    json::Value fields[3];
    int count = 0;
    for (const json::Value v : item.items()) {
      if (count == 3) break;
      fields[count++] = v;
    }
    if (count < 3) return false;
    const auto key = fields[0].as_double();
    if (!key) return false;
    out = Entry{*key, {fields[1].as_double().value_or(0.0), fields[2].as_double().value_or(0.0)}};
    return true;
  };
  const bool changed = apply_entries<Entry>(
      level_changes, read,
      [this](const Entry& e) { return set_level(e.level, e.value.price, e.value.size); },
      [this](std::vector<Entry>& rest) { return merge(rest); });
  if (changed) ++change_counter_;
  return changed;
}

}  // namespace vantrel
