#include "python/module_state.hpp"

#include "python/ladder_readout.hpp"
#include "python/market_book.hpp"
#include "python/market_definition.hpp"
#include "python/price_size.hpp"
#include "python/prices_iterator.hpp"
#include "python/runner.hpp"

namespace vantrel::py {

namespace {

ModuleState g_state;

const ClassEntry kClasses[] = {
    {"PricesIterator", &prices_iterator_spec, &ModuleState::prices_iterator},
    {"MarketBook", &market_book_spec, &ModuleState::market_book},
    {"Runner", &runner_spec, &ModuleState::runner},
    {"ExchangePrices", &exchange_prices_spec, &ModuleState::exchange_prices},
    {"StartingPrices", &starting_prices_spec, &ModuleState::starting_prices},
    {"PriceSize", &price_size_spec, &ModuleState::price_size},
    {"MarketDefinition", &market_definition_spec, &ModuleState::market_definition},
    {"MarketDefinitionRunner", &market_definition_runner_spec,
     &ModuleState::market_definition_runner},
    {nullptr, &ladder_readout_spec, &ModuleState::ladder_readout},
};

bool intern(PyObject*& slot, const char* text) {
  slot = PyUnicode_InternFromString(text);
  return slot != nullptr;
}

}  // namespace

ModuleState& state() {
  return g_state;
}

std::span<const ClassEntry> class_table() {
  return kClasses;
}

bool init_state() {
  ModuleState fresh;
  for (const ClassEntry& entry : kClasses) {
    PyObject* type = PyType_FromSpec(entry.spec);
    if (type == nullptr) return false;
    fresh.*entry.type = reinterpret_cast<PyTypeObject*>(type);
  }
  if (!intern(fresh.datetime_name, "datetime") || !intern(fresh.strptime_name, "strptime") ||
      !intern(fresh.utcfromtimestamp_name, "utcfromtimestamp")) {
    return false;
  }
  g_state = fresh;
  return true;
}

}  // namespace vantrel::py
