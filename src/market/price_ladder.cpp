#include "market/price_ladder.hpp"

#include <algorithm>
#include <bit>

namespace vantrel {

bool PriceLadder::set_level(double price, double size) {
  const std::uint64_t key = std::bit_cast<std::uint64_t>(price);
  const auto it = std::lower_bound(levels_.begin(), levels_.end(), price,
                                   [key](const Level& l, double p) {
                                     return l.price < p || (l.price == p && l.key < key);
                                   });
  const bool found = it != levels_.end() && it->key == key;
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
  levels_.insert(it, Level{price, key, size});
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

std::vector<PriceSize> PriceLadder::to_price_sizes() const {
  std::vector<PriceSize> out;
  out.reserve(levels_.size());
  for_each_level([&](double p, double s) { out.push_back(PriceSize{p, s}); });
  return out;
}

}  // namespace vantrel
