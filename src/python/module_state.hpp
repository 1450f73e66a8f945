// What the extension keeps for the life of the process: its classes and the interned names it
// looks attributes up by. Filled once at import, in registration order; read everywhere else.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

namespace vantrel::py {

// Every key of the dicts MarketBook.to_dict() builds, spelt as it appears in them.
// clang-format off
#define VANTREL_DICT_KEYS(X)                                                                   \
  X(actualSP) X(adjustmentFactor) X(availableToBack) X(availableToLay) X(backStakeTaken)       \
  X(betDelay) X(bettingType) X(bsp) X(bspMarket) X(bspReconciled) X(complete) X(countryCode)   \
  X(crossMatching) X(discountAllowed) X(eventId) X(eventName) X(eventTypeId) X(ex) X(farPrice) \
  X(handicap) X(hc) X(id) X(inPlay) X(inplay) X(lastMatchTime) X(lastPriceTraded)              \
  X(layLiabilityTaken) X(marketBaseRate) X(marketDefinition) X(marketId) X(marketTime)         \
  X(marketType) X(name) X(nearPrice) X(numberOfActiveRunners) X(numberOfRunners)               \
  X(numberOfWinners) X(openDate) X(persistenceEnabled) X(price) X(publishTime) X(regulators)   \
  X(removalDate) X(runners) X(runnersVoidable) X(selectionId) X(size) X(sortPriority) X(sp)    \
  X(status) X(suspendTime) X(timezone) X(totalMatched) X(tradedVolume) X(turnInPlayEnabled)    \
  X(venue) X(version)
// clang-format on

enum class DictKey : std::size_t {
#define VANTREL_DICT_KEY_ENUM(name) name,
  VANTREL_DICT_KEYS(VANTREL_DICT_KEY_ENUM)
#undef VANTREL_DICT_KEY_ENUM
      kCount
};

struct ModuleState {
  PyTypeObject* prices_iterator = nullptr;
  PyTypeObject* market_book = nullptr;
  PyTypeObject* runner = nullptr;
  PyTypeObject* exchange_prices = nullptr;
  PyTypeObject* starting_prices = nullptr;
  PyTypeObject* price_size = nullptr;
  PyTypeObject* market_definition = nullptr;
  PyTypeObject* market_definition_runner = nullptr;
  // Not registered: the levels of a ladder read-out, behind the price lists.
  PyTypeObject* ladder_readout = nullptr;

  // Hashing a fresh string at every snapshot would cost more than the lookups themselves.
  PyObject* datetime_name = nullptr;
  PyObject* strptime_name = nullptr;
  PyObject* utcfromtimestamp_name = nullptr;
  // The export's keys, interned and hashed once: making and hashing each key anew cost more
  // than the rest of a dict.
  std::array<PyObject*, static_cast<std::size_t>(DictKey::kCount)> dict_keys{};

  PyObject* key(DictKey k) const { return dict_keys[static_cast<std::size_t>(k)]; }
};

// The one state; its members are null until `init_state` has succeeded.
ModuleState& state();

// One class: the name it is registered under (null for the hidden one), its spec and where
// its type object goes.
struct ClassEntry {
  const char* name;
  PyType_Spec* spec;
  PyTypeObject* ModuleState::*type;
};

// Every class, in registration order.
std::span<const ClassEntry> class_table();

// Creates every class and name; false with an exception set on failure.
bool init_state();

}  // namespace vantrel::py
