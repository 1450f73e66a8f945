// PriceSize: one price level, a price and a size.
#pragma once

#include <Python.h>

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

}  // namespace vantrel::py
