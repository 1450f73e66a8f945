// PriceSize: one price level, a price and a size.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "market/price_ladder.hpp"
#include "python/ref.hpp"

namespace vantrel::py {

struct PriceSizeObject {
  PyObject_HEAD
  PriceSize fields;
};

extern PyType_Spec price_size_spec;

// A new list of new PriceSize objects, one per level, in the same order.
Ref create_price_list(std::span<const PriceSize> levels);

// The memory of dropped PriceSize objects kept for new ones: how many, and giving it back.
// The interpreter lock is held for both.
std::size_t kept_price_sizes();
void release_price_sizes();

}  // namespace vantrel::py
