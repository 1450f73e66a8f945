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

void PriceLadder::copy_levels(PriceSize* out) const {
  if (!levels_.empty()) std::memcpy(out, levels_.data(), levels_.size() * sizeof(PriceSize));
}

std::vector<PriceSize> PriceLadder::to_price_sizes() const {
  std::vector<PriceSize> out(levels_.size());
  copy_levels(out.data());
  return out;
}

}  // namespace vantrel
