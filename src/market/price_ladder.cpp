#include "market/price_ladder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vantrel {

bool PriceLadder::set_level(double price, double size) {
  const std::uint64_t key = std::bit_cast<std::uint64_t>(price);
  // Ascending order of (price, bits); a descending ladder keeps the exact reverse.
  const auto before = [key](const PriceSize& l, double p) {
    return l.price < p || (l.price == p && std::bit_cast<std::uint64_t>(l.price) < key);
  };
  const auto after = [key](const PriceSize& l, double p) {
    return l.price > p || (l.price == p && std::bit_cast<std::uint64_t>(l.price) > key);
  };
  const auto it = descending_ ? std::lower_bound(levels_.begin(), levels_.end(), price, after)
                              : std::lower_bound(levels_.begin(), levels_.end(), price, before);
  const bool found = it != levels_.end() && std::bit_cast<std::uint64_t>(it->price) == key;
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

bool PriceLadder::update(json::Value price_changes) {
  bool changed = false;
  for (const json::Value pair : price_changes.items()) {
    if (!pair.is_array()) continue;
    json::Value price, size;
    if (!pair.items().first_two(price, size)) continue;
    changed |= set_level(price.as_double().value_or(0.0), size.as_double().value_or(0.0));
  }
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
    if (std::bit_cast<std::uint64_t>(at->price) == std::bit_cast<std::uint64_t>(price) &&
        at->size == size) {
      return false;
    }
    *at = PriceSize{price, size};
    return true;
  }
  keys_.insert(it, level);
  levels_.insert(at, PriceSize{price, size});
  return true;
}

bool LevelLadder::update(json::Value level_changes) {
  bool changed = false;
  for (const json::Value entry : level_changes.items()) {
    if (!entry.is_array()) continue;
    // Entries are short arrays; an entry of fewer than three elements is not a level.
    json::Value fields[3];
    int count = 0;
    for (const json::Value v : entry.items()) {
      if (count == 3) break;
      fields[count++] = v;
    }
    if (count < 3) continue;
    const auto key = fields[0].as_double();
    if (!key) continue;
    changed |=
        set_level(*key, fields[1].as_double().value_or(0.0), fields[2].as_double().value_or(0.0));
  }
  if (changed) ++change_counter_;
  return changed;
}

}  // namespace vantrel
