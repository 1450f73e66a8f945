// It reads the snapshot objects as they are now, including lists that Python code may have
// changed, so every list element is type-checked. Every value is a new object on every call;
// what is saved is the rest: keys are made once at import, and containers are sized once.
#include "python/dict_export.hpp"

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "base/platform.hpp"
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

using Key = DictKey;

// Builds one dict; every insertion checks its value, so a failure anywhere surfaces once. The
// public API has no presized dict, so large ones grow as they fill.
class DictBuilder {
 public:
  DictBuilder() : dict_(Ref::steal(PyDict_New())), ok_(static_cast<bool>(dict_)) {}

  // `make` returns a new reference; it is not called once the dict has failed, so no Python
  // code runs while an exception is set.
  template <class F>
  DictBuilder& add(Key key, F&& make) {
    if (!ok_) return *this;
    Ref value = Ref::steal(make());
    if (!value || PyDict_SetItem(dict_.get(), state().key(key), value.get()) < 0) ok_ = false;
    return *this;
  }
  // The dict, or nullptr with the exception set.
  PyObject* finish() { return ok_ ? dict_.release() : nullptr; }

 private:
  Ref dict_;
  bool ok_;
};

// The one object made per price level: the floor is a dict, its key table and two floats, so
// nothing else is done per level (no reference is taken or dropped but the values').
class PriceDictMaker {
 public:
  PriceDictMaker() : price_key_(state().key(Key::price)), size_key_(state().key(Key::size)) {}

  PyObject* operator()(PriceSize level) const {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    if (set_float(dict, price_key_, level.price) && set_float(dict, size_key_, level.size)) {
      return dict;
    }
    Py_DECREF(dict);
    return nullptr;
  }

 private:
  static bool set_float(PyObject* dict, PyObject* key, double value) {
    PyObject* number = PyFloat_FromDouble(value);
    if (number == nullptr) return false;
    const int status = PyDict_SetItem(dict, key, number);
    Py_DECREF(number);
    return status == 0;
  }

  PyObject* price_key_;
  PyObject* size_key_;
};

// Walks a list by index while the index is below both its length at the start and its current
// length, so that Python code run during the walk cannot make it read past the end. The result
// is sized once from the start length and ends where the walk did. `convert` gets the item
// borrowed: it holds a reference of its own if anything it does could drop the item.
constexpr Py_ssize_t kPrefetchAhead = 4;

template <class F>
PyObject* map_list(PyObject* source, F&& convert) {
  if (source == nullptr) return nullptr;  // making the source failed; its error stands
  if (!PyList_Check(source)) {
    raise_conversion_error("value", source, "PyList");
    return nullptr;
  }
  const Py_ssize_t initial = PyList_GET_SIZE(source);
  Ref out = Ref::steal(PyList_New(initial));
  if (!out) return nullptr;
  // Items are objects of their own, scattered over the heap: asking for them a few steps
  // ahead overlaps their cache misses with the work on the current one.
  for (Py_ssize_t i = 0; i < kPrefetchAhead && i < initial; ++i) {
    __builtin_prefetch(PyList_GET_ITEM(source, i));
  }
  Py_ssize_t i = 0;
  for (; i < initial && i < PyList_GET_SIZE(source); ++i) {
    if (i + kPrefetchAhead < PyList_GET_SIZE(source)) {
      __builtin_prefetch(PyList_GET_ITEM(source, i + kPrefetchAhead));
    }
    PyObject* converted = convert(PyList_GET_ITEM(source, i));
    if (converted == nullptr) return nullptr;  // the unfilled slots are null, which frees fine
    PyList_SET_ITEM(out.get(), i, converted);
  }
  Py_SET_SIZE(out.get(), i);
  return out.release();
}

bool check_type(PyObject* obj, PyTypeObject* type, const char* name) {
  if (type == nullptr) return false;
  if (PyObject_TypeCheck(obj, type)) return true;
  raise_conversion_error("value", obj, name);
  return false;
}

// The list as it is now, which Python code may have edited, so each item is checked; an
// unedited list costs one pointer comparison per level over reading the levels directly.
PyObject* price_list_to_dicts(PyObject* list) {
  PyTypeObject* type = state().price_size;
  const PriceDictMaker price_dict;
  return map_list(list, [type, &price_dict](PyObject* item) -> PyObject* {
    if (!check_type(item, type, "PriceSize")) return nullptr;
    return price_dict(fields_of<PriceSizeObject>(item));  // read before anything is made
  });
}

// A new list of `count` items, the i-th made by `make(i)` (a new reference, or null on failure).
template <class F>
PyObject* build_list(std::size_t count, F&& make) {
  Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
  }
  return out.release();
}

PyObject* vec_ps_to_dicts(std::span<const PriceSize> levels) {
  const PriceDictMaker price_dict;
  return build_list(levels.size(), [&](std::size_t i) { return price_dict(levels[i]); });
}

// A ladder's dicts. A list Python has not asked for cannot have been edited, so its levels are
// read directly: making its PriceSize objects first would cost an object per level that the
// export then only reads. A list of dicts is exported from its levels too: the export hands out
// dicts of its own rather than the shared ones.
PyObject* ladder_dicts(const Ref& readout) {
  if (readout && (made_price_list(readout) == nullptr || holds_dicts(readout))) {
    return vec_ps_to_dicts(readout_levels(readout));
  }
  return price_list_to_dicts(price_list(readout).get());
}

PyObject* runner_dict(PyObject* item) {
  if (!check_type(item, state().runner, "Runner")) return nullptr;
  const Ref hold = Ref::borrow(item);  // its read-outs and ExchangePrices are read through it
  const auto& f = fields_of<RunnerObject>(item);
  const auto& ex = fields_of<ExchangePricesObject>(f.ex.get());
  // The read-outs are five more objects of their own; their misses overlap when asked at once.
  for (const Ref* readout : {&ex.available_to_back, &ex.available_to_lay, &ex.traded_volume,
                             &f.sp.back_stake_taken, &f.sp.lay_liability_taken}) {
    base::prefetch(readout->get());
  }
  const auto ex_dict = [&] {
    return DictBuilder()
        .add(Key::availableToBack, [&] { return ladder_dicts(ex.available_to_back); })
        .add(Key::availableToLay, [&] { return ladder_dicts(ex.available_to_lay); })
        .add(Key::tradedVolume, [&] { return ladder_dicts(ex.traded_volume); })
        .finish();
  };
  const auto sp_dict = [&] {
    return DictBuilder()
        .add(Key::nearPrice, [&] { return to_py(f.sp.near_price); })
        .add(Key::farPrice, [&] { return to_py(f.sp.far_price); })
        .add(Key::actualSP, [&] { return to_py(f.sp.actual_sp); })
        .add(Key::backStakeTaken,
             [&] { return vec_ps_to_dicts(readout_levels(f.sp.back_stake_taken)); })
        .add(Key::layLiabilityTaken,
             [&] { return vec_ps_to_dicts(readout_levels(f.sp.lay_liability_taken)); })
        .finish();
  };
  return DictBuilder()
      .add(Key::selectionId, [&] { return to_py(f.selection_id); })
      .add(Key::handicap, [&] { return to_py(f.handicap); })
      .add(Key::status, [&] { return to_py(f.status); })
      .add(Key::adjustmentFactor, [&] { return to_py(f.adjustment_factor); })
      .add(Key::lastPriceTraded, [&] { return to_py(f.last_price_traded); })
      .add(Key::totalMatched, [&] { return to_py(f.total_matched); })
      .add(Key::removalDate, [&] { return to_py(f.removal_date); })
      .add(Key::ex, ex_dict)
      .add(Key::sp, sp_dict)
      .finish();
}

PyObject* definition_runner_dict(PyObject* item) {
  if (!check_type(item, state().market_definition_runner, "MarketDefinitionRunner")) {
    return nullptr;
  }
  const MarketDefinitionRunner& f = fields_of<MarketDefinitionRunnerObject>(item);
  const bool has_hc = f.handicap != 0.0;  // NaN is written, 0.0 and -0.0 are not
  DictBuilder d;
  d.add(Key::id, [&] { return to_py(f.selection_id); })
      .add(Key::sortPriority, [&] { return to_py(f.sort_priority); })
      .add(Key::status, [&] { return to_py(f.status); });
  if (f.adjustment_factor)
    d.add(Key::adjustmentFactor, [&] { return to_py(*f.adjustment_factor); });
  if (f.name) d.add(Key::name, [&] { return to_py(*f.name); });
  if (has_hc) d.add(Key::hc, [&] { return to_py(f.handicap); });
  if (f.removal_date) d.add(Key::removalDate, [&] { return to_py(*f.removal_date); });
  if (f.bsp) d.add(Key::bsp, [&] { return to_py(*f.bsp); });
  return d.finish();
}

PyObject* regulators_list(const std::vector<std::string>& regulators) {
  return build_list(regulators.size(), [&](std::size_t i) { return to_py(regulators[i]); });
}

PyObject* definition_dict(PyObject* definition) {
  const auto& f = fields_of<MarketDefinitionObject>(definition);
  return DictBuilder()
      .add(Key::betDelay, [&] { return to_py(f.bet_delay); })
      .add(Key::bettingType, [&] { return to_py(f.betting_type); })
      .add(Key::bspMarket, [&] { return to_py(f.bsp_market); })
      .add(Key::bspReconciled, [&] { return to_py(f.bsp_reconciled); })
      .add(Key::complete, [&] { return to_py(f.complete); })
      .add(Key::countryCode, [&] { return to_py(f.country_code); })
      .add(Key::crossMatching, [&] { return to_py(f.cross_matching); })
      .add(Key::discountAllowed, [&] { return to_py(f.discount_allowed); })
      .add(Key::eventId, [&] { return to_py(f.event_id); })
      .add(Key::eventName, [&] { return to_py(f.event_name); })
      .add(Key::eventTypeId, [&] { return to_py(f.event_type_id); })
      .add(Key::inPlay, [&] { return to_py(f.in_play); })
      .add(Key::marketBaseRate, [&] { return to_py(f.market_base_rate); })
      .add(Key::marketTime, [&] { return to_py(f.market_time_raw); })
      .add(Key::marketType, [&] { return to_py(f.market_type); })
      .add(Key::name, [&] { return to_py(f.name); })
      .add(Key::numberOfActiveRunners, [&] { return to_py(f.number_of_active_runners); })
      .add(Key::numberOfWinners, [&] { return to_py(f.number_of_winners); })
      .add(Key::openDate, [&] { return to_py(f.open_date_raw); })
      .add(Key::persistenceEnabled, [&] { return to_py(f.persistence_enabled); })
      .add(Key::regulators, [&] { return regulators_list(f.regulators); })
      .add(Key::runners, [&] { return map_list(f.runners.get(), definition_runner_dict); })
      .add(Key::runnersVoidable, [&] { return to_py(f.runners_voidable); })
      .add(Key::status, [&] { return to_py(f.status); })
      .add(Key::suspendTime, [&] { return to_py(f.suspend_time_raw); })
      .add(Key::timezone, [&] { return to_py(f.timezone); })
      .add(Key::turnInPlayEnabled, [&] { return to_py(f.turn_in_play_enabled); })
      .add(Key::venue, [&] { return to_py(f.venue); })
      .add(Key::version, [&] { return to_py(f.version); })
      .finish();
}

PyObject* book_dict(const MarketBookObject::Fields& f) {
  DictBuilder d;
  d.add(Key::marketId, [&] { return to_py(f.market_id); })
      .add(Key::status, [&] { return to_py(said(f.defined, f.status)); })
      .add(Key::betDelay, [&] { return to_py(said(f.defined, f.bet_delay)); })
      .add(Key::bspReconciled, [&] { return to_py(said(f.defined, f.bsp_reconciled)); })
      .add(Key::complete, [&] { return to_py(said(f.defined, f.complete)); })
      .add(Key::crossMatching, [&] { return to_py(said(f.defined, f.cross_matching)); })
      .add(Key::inplay, [&] { return to_py(said(f.defined, f.inplay)); })
      .add(Key::numberOfActiveRunners,
           [&] { return to_py(said(f.defined, f.number_of_active_runners)); })
      .add(Key::numberOfRunners, [&] { return to_py(f.number_of_runners); })
      .add(Key::numberOfWinners, [&] { return to_py(said(f.defined, f.number_of_winners)); })
      .add(Key::runnersVoidable, [&] { return to_py(said(f.defined, f.runners_voidable)); })
      .add(Key::totalMatched, [&] { return to_py(f.total_matched); })
      .add(Key::version, [&] { return to_py(said(f.defined, f.version)); })
      .add(Key::lastMatchTime, [&] { return to_py(f.last_match_time); })
      .add(Key::publishTime, [&] { return to_py(f.publish_time_epoch); })
      .add(Key::runners, [&] { return map_list(f.runners.get(), runner_dict); });
  if (f.market_definition) {
    d.add(Key::marketDefinition, [&] { return definition_dict(f.market_definition.get()); });
  }
  return d.finish();
}

}  // namespace

PyObject* market_book_to_dict(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] { return book_dict(fields_of<MarketBookObject>(self)); });
}

PyObject* price_dicts(std::span<const PriceSize> levels) {
  return vec_ps_to_dicts(levels);
}

}  // namespace vantrel::py
