// Assembling a MarketBook from a market cache, handing out again every Runner, price list and
// MarketDefinition whose counter has not moved since it was built.
#pragma once

#include "market/market_cache.hpp"
#include "python/ref.hpp"

namespace vantrel::py {

// The release function for the cache's reuse slots: they hold strong references.
void release_object(void* object);

// A new MarketBook for the cache's current state; refills the cache's reuse slots.
Ref build_snapshot(MarketCache& cache);

}  // namespace vantrel::py
