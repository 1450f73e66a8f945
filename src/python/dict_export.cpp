// It reads the snapshot objects as they are now, including lists that Python code may have
// changed, so every list element is type-checked. It is meant for tests: clarity over speed.
#include "python/dict_export.hpp"

#include <initializer_list>
#include <utility>

#include "python/convert.hpp"
#include "python/ladder_readout.hpp"
#include "python/market_book.hpp"
#include "python/market_definition.hpp"
#include "python/module_state.hpp"
#include "python/object.hpp"
#include "python/price_size.hpp"
#include "python/runner.hpp"

namespace vantrel::py {

namespace {

// Builds one dict; every insertion checks its value, so a failure anywhere surfaces once.
class DictBuilder {
 public:
  DictBuilder() : dict_(Ref::steal(PyDict_New())), ok_(static_cast<bool>(dict_)) {}

  // `make` returns a new reference; it is not called once the dict has failed, so no Python
  // code runs while an exception is set.
  template <class F>
  DictBuilder& add(const char* key, F&& make) {
    if (!ok_) return *this;
    Ref value = Ref::steal(make());
    if (!value || PyDict_SetItemString(dict_.get(), key, value.get()) < 0) ok_ = false;
    return *this;
  }
  // The dict, or nullptr with the exception set.
  PyObject* finish() { return ok_ ? dict_.release() : nullptr; }

 private:
  Ref dict_;
  bool ok_;
};

PyObject* price_dict(double price, double size) {
  return DictBuilder()
      .add("price", [&] { return to_py(price); })
      .add("size", [&] { return to_py(size); })
      .finish();
}

// Walks a list by index while the index is below both its length at the start and its current
// length, so that Python code run during the walk cannot make it read past the end.
template <class F>
PyObject* map_list(PyObject* source, F&& convert) {
  if (source == nullptr) return nullptr;  // making the source failed; its error stands
  if (!PyList_Check(source)) {
    raise_conversion_error("value", source, "PyList");
    return nullptr;
  }
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return nullptr;
  const Py_ssize_t initial = PyList_GET_SIZE(source);
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(source); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(source, i));
    Ref converted = Ref::steal(convert(item.get()));
    if (!converted || PyList_Append(out.get(), converted.get()) < 0) return nullptr;
  }
  return out.release();
}

bool check_type(PyObject* obj, PyTypeObject* type, const char* name) {
  if (type == nullptr) return false;
  if (PyObject_TypeCheck(obj, type)) return true;
  raise_conversion_error("value", obj, name);
  return false;
}

PyObject* price_list_to_dicts(PyObject* list) {
  PyTypeObject* type = state().price_size;
  return map_list(list, [type](PyObject* item) -> PyObject* {
    if (!check_type(item, type, "PriceSize")) return nullptr;
    const PriceSize& f = fields_of<PriceSizeObject>(item);
    return price_dict(f.price, f.size);
  });
}

PyObject* vec_ps_to_dicts(std::span<const PriceSize> levels) {
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return nullptr;
  for (const PriceSize& l : levels) {
    Ref d = Ref::steal(price_dict(l.price, l.size));
    if (!d || PyList_Append(out.get(), d.get()) < 0) return nullptr;
  }
  return out.release();
}

PyObject* runner_dict(PyObject* item) {
  if (!check_type(item, state().runner, "Runner")) return nullptr;
  const auto& f = fields_of<RunnerObject>(item);
  const auto& ex = fields_of<ExchangePricesObject>(f.ex.get());
  const auto ex_dict = [&] {
    return DictBuilder()
        .add("availableToBack",
             [&] { return price_list_to_dicts(price_list(ex.available_to_back).get()); })
        .add("availableToLay",
             [&] { return price_list_to_dicts(price_list(ex.available_to_lay).get()); })
        .add("tradedVolume",
             [&] { return price_list_to_dicts(price_list(ex.traded_volume).get()); })
        .finish();
  };
  const auto sp_dict = [&] {
    return DictBuilder()
        .add("nearPrice", [&] { return to_py(f.sp.near_price); })
        .add("farPrice", [&] { return to_py(f.sp.far_price); })
        .add("actualSP", [&] { return to_py(f.sp.actual_sp); })
        .add("backStakeTaken",
             [&] { return vec_ps_to_dicts(readout_levels(f.sp.back_stake_taken)); })
        .add("layLiabilityTaken",
             [&] { return vec_ps_to_dicts(readout_levels(f.sp.lay_liability_taken)); })
        .finish();
  };
  return DictBuilder()
      .add("selectionId", [&] { return to_py(f.selection_id); })
      .add("handicap", [&] { return to_py(f.handicap); })
      .add("status", [&] { return to_py(f.status); })
      .add("adjustmentFactor", [&] { return to_py(f.adjustment_factor); })
      .add("lastPriceTraded", [&] { return to_py(f.last_price_traded); })
      .add("totalMatched", [&] { return to_py(f.total_matched); })
      .add("removalDate", [&] { return to_py(f.removal_date); })
      .add("ex", ex_dict)
      .add("sp", sp_dict)
      .finish();
}

PyObject* definition_runner_dict(PyObject* item) {
  if (!check_type(item, state().market_definition_runner, "MarketDefinitionRunner")) {
    return nullptr;
  }
  const MarketDefinitionRunner& f = fields_of<MarketDefinitionRunnerObject>(item);
  DictBuilder d;
  d.add("id", [&] { return to_py(f.selection_id); })
      .add("sortPriority", [&] { return to_py(f.sort_priority); })
      .add("status", [&] { return to_py(f.status); });
  if (f.adjustment_factor) d.add("adjustmentFactor", [&] { return to_py(*f.adjustment_factor); });
  if (f.name) d.add("name", [&] { return to_py(*f.name); });
  if (f.handicap != 0.0) d.add("hc", [&] { return to_py(f.handicap); });
  if (f.removal_date) d.add("removalDate", [&] { return to_py(*f.removal_date); });
  if (f.bsp) d.add("bsp", [&] { return to_py(*f.bsp); });
  return d.finish();
}

PyObject* regulators_list(const std::vector<std::string>& regulators) {
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return nullptr;
  for (const std::string& r : regulators) {
    Ref s = Ref::steal(to_py(r));
    if (!s || PyList_Append(out.get(), s.get()) < 0) return nullptr;
  }
  return out.release();
}

PyObject* definition_dict(PyObject* definition) {
  const auto& f = fields_of<MarketDefinitionObject>(definition);
  return DictBuilder()
      .add("betDelay", [&] { return to_py(f.bet_delay); })
      .add("bettingType", [&] { return to_py(f.betting_type); })
      .add("bspMarket", [&] { return to_py(f.bsp_market); })
      .add("bspReconciled", [&] { return to_py(f.bsp_reconciled); })
      .add("complete", [&] { return to_py(f.complete); })
      .add("countryCode", [&] { return to_py(f.country_code); })
      .add("crossMatching", [&] { return to_py(f.cross_matching); })
      .add("discountAllowed", [&] { return to_py(f.discount_allowed); })
      .add("eventId", [&] { return to_py(f.event_id); })
      .add("eventName", [&] { return to_py(f.event_name); })
      .add("eventTypeId", [&] { return to_py(f.event_type_id); })
      .add("inPlay", [&] { return to_py(f.in_play); })
      .add("marketBaseRate", [&] { return to_py(f.market_base_rate); })
      .add("marketTime", [&] { return to_py(f.market_time_raw); })
      .add("marketType", [&] { return to_py(f.market_type); })
      .add("name", [&] { return to_py(f.name); })
      .add("numberOfActiveRunners", [&] { return to_py(f.number_of_active_runners); })
      .add("numberOfWinners", [&] { return to_py(f.number_of_winners); })
      .add("openDate", [&] { return to_py(f.open_date_raw); })
      .add("persistenceEnabled", [&] { return to_py(f.persistence_enabled); })
      .add("regulators", [&] { return regulators_list(f.regulators); })
      .add("runners", [&] { return map_list(f.runners.get(), definition_runner_dict); })
      .add("runnersVoidable", [&] { return to_py(f.runners_voidable); })
      .add("status", [&] { return to_py(f.status); })
      .add("suspendTime", [&] { return to_py(f.suspend_time_raw); })
      .add("timezone", [&] { return to_py(f.timezone); })
      .add("turnInPlayEnabled", [&] { return to_py(f.turn_in_play_enabled); })
      .add("venue", [&] { return to_py(f.venue); })
      .add("version", [&] { return to_py(f.version); })
      .finish();
}

PyObject* book_dict(const MarketBookObject::Fields& f) {
  DictBuilder d;
  d.add("marketId", [&] { return to_py(f.market_id); })
      .add("status", [&] { return to_py(f.status); })
      .add("betDelay", [&] { return to_py(f.bet_delay); })
      .add("bspReconciled", [&] { return to_py(f.bsp_reconciled); })
      .add("complete", [&] { return to_py(f.complete); })
      .add("crossMatching", [&] { return to_py(f.cross_matching); })
      .add("inplay", [&] { return to_py(f.inplay); })
      .add("numberOfActiveRunners", [&] { return to_py(f.number_of_active_runners); })
      .add("numberOfRunners", [&] { return to_py(f.number_of_runners); })
      .add("numberOfWinners", [&] { return to_py(f.number_of_winners); })
      .add("runnersVoidable", [&] { return to_py(f.runners_voidable); })
      .add("totalMatched", [&] { return to_py(f.total_matched); })
      .add("version", [&] { return to_py(f.version); })
      .add("lastMatchTime", [&] { return to_py(f.last_match_time); })
      .add("publishTime", [&] { return to_py(f.publish_time_epoch); })
      .add("runners", [&] { return map_list(f.runners.get(), runner_dict); });
  if (f.market_definition) {
    d.add("marketDefinition", [&] { return definition_dict(f.market_definition.get()); });
  }
  return d.finish();
}

}  // namespace

PyObject* market_book_to_dict(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] { return book_dict(fields_of<MarketBookObject>(self)); });
}

}  // namespace vantrel::py
