// MarketBook.to_dict(): a snapshot as plain dicts and lists under the stream's own key names.
#pragma once

#include <Python.h>

#include <span>

#include "market/price_ladder.hpp"

namespace vantrel::py {

PyObject* market_book_to_dict(PyObject* self, PyObject* unused);

// A new list of {"price": ..., "size": ...} dicts, one per level, in the same order.
PyObject* price_dicts(std::span<const PriceSize> levels);

}  // namespace vantrel::py
