#include "python/module_state.hpp"

#include <cstring>
#include <iterator>
#include <string>

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

constexpr const char* kDictKeyTexts[] = {
#define VANTREL_DICT_KEY_TEXT(name) #name,
    VANTREL_DICT_KEYS(VANTREL_DICT_KEY_TEXT)
#undef VANTREL_DICT_KEY_TEXT
};
static_assert(std::size(kDictKeyTexts) == static_cast<std::size_t>(DictKey::kCount));

bool intern_names(ModuleState& s) {
  if (!intern(s.datetime_name, "datetime") || !intern(s.strptime_name, "strptime") ||
      !intern(s.utcfromtimestamp_name, "utcfromtimestamp")) {
    return false;
  }
  for (std::size_t i = 0; i < std::size(kDictKeyTexts); ++i) {
    if (!intern(s.dict_keys[i], kDictKeyTexts[i])) return false;
  }
  return true;
}

constexpr char kHomeModule[] = "vantrel.vantrel";

// A class made from a bare spec name would have no __module__ at all (reading it raises), and
// Python warns as it is made, which fails the import for anyone who turns warnings into
// errors. So the class is made under its full name, and then the name the interpreter prints
// in its own messages is cut back to the bare one: it points into the type's own copy.
PyTypeObject* make_class(PyType_Spec* spec) {
  if (std::strchr(spec->name, '.') != nullptr) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  }
  const std::string full = std::string(kHomeModule) + "." + spec->name;
  PyType_Spec named = *spec;
  named.name = full.c_str();
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&named));
  if (type != nullptr) type->tp_name += sizeof(kHomeModule);
  return type;
}

}  // namespace

ModuleState& state() {
  return g_state;
}

std::span<const ClassEntry> class_table() {
  return kClasses;
}

// The state is filled whole or not at all; what it holds lives as long as the process.
bool init_state() {
  ModuleState fresh;
  for (const ClassEntry& entry : kClasses) {
    PyTypeObject* type = make_class(entry.spec);
    if (type == nullptr) return false;
    fresh.*entry.type = type;
  }
  if (!intern_names(fresh)) return false;
  g_state = fresh;
  return true;
}

}  // namespace vantrel::py
