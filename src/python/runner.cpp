#include "python/runner.hpp"

#include "python/convert.hpp"
#include "python/ladder_readout.hpp"
#include "python/module_state.hpp"
#include "python/object.hpp"
#include "python/price_size.hpp"

namespace vantrel::py {

namespace {

// ---------------------------------------------------------------------------------------------
// ExchangePrices

template <Ref ExchangePricesObject::Fields::*member>
PyObject* get_price_list(PyObject* self, void*) {
  return price_list(fields_of<ExchangePricesObject>(self).*member).release();
}

PyGetSetDef exchange_prices_getset[] = {
    {"available_to_back", get_price_list<&ExchangePricesObject::Fields::available_to_back>, nullptr,
     nullptr, nullptr},
    {"available_to_lay", get_price_list<&ExchangePricesObject::Fields::available_to_lay>, nullptr,
     nullptr, nullptr},
    {"traded_volume", get_price_list<&ExchangePricesObject::Fields::traded_volume>, nullptr,
     nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot exchange_prices_slots[] = {
    {Py_tp_doc, const_cast<char*>("Exchange prices for a runner (back/lay/traded)")},
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(destroy<ExchangePricesObject>)},
    {Py_tp_traverse, slot(traverse_refs<ExchangePricesObject>)},
    {Py_tp_clear, slot(clear_refs<ExchangePricesObject>)},
    {Py_tp_getset, exchange_prices_getset},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// StartingPrices

// A list of PriceSize objects made anew at each read; a list of dicts is the read-out's own, as
// dict levels are handed out.
template <Ref StartingPriceData::*member>
PyObject* get_sp_list(PyObject* self, void*) {
  const Ref& readout = fields_of<StartingPricesObject>(self).*member;
  if (holds_dicts(readout)) return price_list(readout).release();
  return create_price_list(readout_levels(readout)).release();
}

PyGetSetDef starting_prices_getset[] = {
    VANTREL_GET(StartingPricesObject, "near_price", f.near_price),
    VANTREL_GET(StartingPricesObject, "far_price", f.far_price),
    VANTREL_GET(StartingPricesObject, "actual_sp", f.actual_sp),
    {"back_stake_taken", get_sp_list<&StartingPriceData::back_stake_taken>, nullptr, nullptr,
     nullptr},
    {"lay_liability_taken", get_sp_list<&StartingPriceData::lay_liability_taken>, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot starting_prices_slots[] = {
    {Py_tp_doc, const_cast<char*>("Starting prices for a runner")},
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(destroy<StartingPricesObject>)},
    {Py_tp_getset, starting_prices_getset},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Runner

PyObject* runner_sp(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    const StartingPriceData& d = fields_of<RunnerObject>(self).sp;
    return emplace<StartingPricesObject>(
               state().starting_prices,
               [&] {
                 return FieldsOf<StartingPricesObject>{
                     .near_price = d.near_price,
                     .far_price = d.far_price,
                     .actual_sp = d.actual_sp,
                     .back_stake_taken = Ref::borrow(d.back_stake_taken.get()),
                     .lay_liability_taken = Ref::borrow(d.lay_liability_taken.get())};
               })
        .release();
  });
}

PyObject* runner_removal_date(PyObject* self, void*) {
  const auto& f = fields_of<RunnerObject>(self);
  if (f.removal_time) return Py_NewRef(f.removal_time.get());
  return to_py(f.removal_date);
}

PyGetSetDef runner_getset[] = {
    VANTREL_GET(RunnerObject, "selection_id", f.selection_id),
    VANTREL_GET(RunnerObject, "handicap", f.handicap),
    VANTREL_GET(RunnerObject, "adjustment_factor", f.adjustment_factor),
    VANTREL_GET(RunnerObject, "last_price_traded", f.last_price_traded),
    VANTREL_GET(RunnerObject, "total_matched", f.total_matched),
    VANTREL_GET(RunnerObject, "status", f.status),
    {"removal_date", runner_removal_date, nullptr, nullptr, nullptr},
    VANTREL_GET(RunnerObject, "ex", f.ex),
    {"sp", runner_sp, nullptr, nullptr, nullptr},
    VANTREL_CONST("orders", PyList_New(0)),
    VANTREL_CONST("matches", PyList_New(0)),
    VANTREL_CONST("matches_by_strategy", none()),
    VANTREL_CONST("bet_delay_models", none()),
    VANTREL_CONST("suspend_reason", none()),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot runner_slots[] = {
    {Py_tp_doc, const_cast<char*>("A runner in the market")},
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(destroy<RunnerObject>)},
    {Py_tp_traverse, slot(traverse_refs<RunnerObject>)},
    {Py_tp_clear, slot(clear_refs<RunnerObject>)},
    {Py_tp_getset, runner_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec exchange_prices_spec = {"ExchangePrices", sizeof(ExchangePricesObject), 0,
                                    kGcClassFlags, exchange_prices_slots};
PyType_Spec starting_prices_spec = {"StartingPrices", sizeof(StartingPricesObject), 0, kClassFlags,
                                    starting_prices_slots};
PyType_Spec runner_spec = {"Runner", sizeof(RunnerObject), 0, kGcClassFlags, runner_slots};

Ref make_exchange_prices(Ref back, Ref lay, Ref traded) {
  return create<ExchangePricesObject>(state().exchange_prices,
                                      {.available_to_back = std::move(back),
                                       .available_to_lay = std::move(lay),
                                       .traded_volume = std::move(traded)});
}

Ref make_runner(const RunnerCache& r, Ref ex, Ref spl, Ref spb, Ref removal_time,
                double total_matched, bool defined) {
  Ref status;  // empty: None
  if (defined) {
    status = Ref::steal(to_py(r.status));
    if (!status) return status;
  }
  return emplace<RunnerObject>(state().runner, [&] {
    return FieldsOf<RunnerObject>{.selection_id = r.selection_id,
                                  .handicap = r.handicap,
                                  .adjustment_factor = defined ? r.adjustment_factor : std::nullopt,
                                  .last_price_traded = r.last_price_traded,
                                  .total_matched = total_matched,
                                  .status = std::move(status),
                                  .removal_date = defined ? r.removal_date : std::nullopt,
                                  .removal_time = std::move(removal_time),
                                  .ex = std::move(ex),
                                  .sp = {.near_price = r.near_price,
                                         .far_price = r.far_price,
                                         .actual_sp = defined ? r.actual_sp : SpValue{},
                                         .back_stake_taken = std::move(spl),
                                         .lay_liability_taken = std::move(spb)}};
  });
}

}  // namespace vantrel::py
