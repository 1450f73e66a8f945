#include "python/market_filter.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/convert.hpp"

namespace vantrel::py {

namespace {

using replay::FilterKey;

struct KeyName {
  FilterKey key;
  const char* name;
};
// snake_case as betfairlightweight's streaming_market_filter names its arguments, but for the
// market ids, which the package has always called `markets`.
constexpr KeyName kKeyNames[] = {
    {FilterKey::kMarketIds, "markets"},
    {FilterKey::kEventIds, "event_ids"},
    {FilterKey::kEventTypeIds, "event_type_ids"},
    {FilterKey::kMarketTypes, "market_types"},
    {FilterKey::kCountryCodes, "country_codes"},
    {FilterKey::kVenues, "venues"},
    {FilterKey::kRaceTypes, "race_types"},
    {FilterKey::kBettingTypes, "betting_types"},
    {FilterKey::kBspMarket, "bsp_market"},
    {FilterKey::kTurnInPlayEnabled, "turn_in_play_enabled"},
};

bool read_key(PyObject* value, const KeyName& k, replay::MarketFilter& out) {
  if (value == Py_None) return true;
  if (replay::is_flag(k.key)) {
    if (!PyBool_Check(value)) {
      PyErr_Format(PyExc_TypeError, "%s must be True, False or None", k.name);
      return false;
    }
    out.keep_flag(k.key, value == Py_True);
    return true;
  }
  std::optional<std::vector<std::string>> texts;
  if (!string_list(value, k.name, texts)) return false;
  out.keep_texts(k.key, std::move(*texts));
  return true;
}

// How the exchange's layout is read; the Python layer names the choices (see _options).
bool read_event_files(PyObject* value, replay::MarketFilter& out) {
  static constexpr std::pair<const char*, replay::EventFiles> kChoices[] = {
      {"once", replay::EventFiles::kOnce},
      {"instead", replay::EventFiles::kEventFiles},
      {"skip", replay::EventFiles::kMarketFiles},
      {"all", replay::EventFiles::kAll},
  };
  const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
  for (const auto& [name, choice] : kChoices) {
    if (text != nullptr && std::strcmp(text, name) == 0) {
      out.read_event_files(choice);
      return true;
    }
  }
  PyErr_Clear();
  PyErr_SetString(PyExc_ValueError, "event_files must be 'once', 'instead', 'skip' or 'all'");
  return false;
}

}  // namespace

bool read_market_filter(PyObject* filter, replay::MarketFilter& out) {
  if (filter == Py_None) return true;
  if (!PyDict_Check(filter)) {
    PyErr_SetString(PyExc_TypeError, "filter must be a dict");
    return false;
  }
  Py_ssize_t known = 0;
  if (PyObject* choice = PyDict_GetItemString(filter, "event_files")) {
    ++known;
    if (!read_event_files(choice, out)) return false;
  }
  for (const KeyName& k : kKeyNames) {
    PyObject* value = PyDict_GetItemString(filter, k.name);
    if (value == nullptr) continue;
    ++known;
    if (!read_key(value, k, out)) return false;
  }
  if (known != PyDict_GET_SIZE(filter)) {
    PyErr_SetString(PyExc_TypeError, "filter has a key the market filter does not know");
    return false;
  }
  return true;
}

bool report_unmatched(PyObject* report, const replay::MarketFilter& filter,
                      replay::FilterKeys matched) {
  const replay::FilterKeys unmatched = filter.given().without(matched);
  if (report == nullptr || report == Py_None || unmatched.empty()) return true;
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return false;
  for (const KeyName& k : kKeyNames) {
    if (!unmatched.has(k.key)) continue;
    Ref name = Ref::steal(PyUnicode_FromString(k.name));
    if (!name || PyList_Append(names.get(), name.get()) < 0) return false;
  }
  Ref result = Ref::steal(PyObject_CallOneArg(report, names.get()));
  return static_cast<bool>(result);
}

}  // namespace vantrel::py
