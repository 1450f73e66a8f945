// Ladder read-outs: a copy of a changed ladder's levels, behind its price list.
//
// When a ladder has changed, the snapshot gets a copy of its levels, not the PriceSize objects
// themselves: the list is made the first time Python asks for it, and every ExchangePrices
// sharing the read-out hands out that one list. A replay that never looks at a ladder pays a
// copy of its levels per change instead of an object per level.
#pragma once

#include <Python.h>

#include <span>

#include "market/price_ladder.hpp"
#include "python/ref.hpp"

namespace vantrel::py {

extern PyType_Spec ladder_readout_spec;

// A copy of the ladder's levels in read-out order; its list holds dicts with `dict_levels`.
Ref read_out_ladder(std::span<const PriceSize> levels, bool dict_levels = false);
template <class Ladder>
Ref read_out_ladder(const Ladder& ladder, bool dict_levels = false) {
  return read_out_ladder(ladder.levels(), dict_levels);
}
// The read-out's list of PriceSize objects (or dicts), made on the first call and the same one
// after.
Ref price_list(const Ref& readout);
// Whether the read-out's list holds dicts rather than PriceSize objects.
bool holds_dicts(const Ref& readout);
// The read-out's list if Python has asked for it (and so may have edited it), else null.
PyObject* made_price_list(const Ref& readout);
// The levels a read-out holds (none for an empty Ref).
std::span<const PriceSize> readout_levels(const Ref& readout);

}  // namespace vantrel::py
