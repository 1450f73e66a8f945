#include "python/market_definition.hpp"

#include "python/convert.hpp"
#include "python/module_state.hpp"
#include "python/object.hpp"
#include "python/times.hpp"

namespace vantrel::py {

namespace {

// ---------------------------------------------------------------------------------------------
// MarketDefinitionRunner

PyObject* definition_runner_removal_date(PyObject* self, void*) {
  const auto& f = fields_of<MarketDefinitionRunnerObject>(self);
  if (f.removal_time) return Py_NewRef(f.removal_time.get());
  return to_py(f.removal_date);
}

PyGetSetDef definition_runner_getset[] = {
    VANTREL_GET(MarketDefinitionRunnerObject, "selection_id", f.selection_id),
    VANTREL_GET(MarketDefinitionRunnerObject, "sort_priority", f.sort_priority),
    VANTREL_GET(MarketDefinitionRunnerObject, "status", f.status),
    VANTREL_GET(MarketDefinitionRunnerObject, "handicap", f.handicap),
    VANTREL_GET(MarketDefinitionRunnerObject, "adjustment_factor", f.adjustment_factor),
    {"removal_date", definition_runner_removal_date, nullptr, nullptr, nullptr},
    VANTREL_GET(MarketDefinitionRunnerObject, "name", f.name),
    VANTREL_GET(MarketDefinitionRunnerObject, "bsp", f.bsp),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot definition_runner_slots[] = {
    {Py_tp_doc, const_cast<char*>("A runner in a market definition")},
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(destroy<MarketDefinitionRunnerObject>)},
    {Py_tp_getset, definition_runner_getset},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// MarketDefinition

Ref string_list(const std::vector<std::string>& items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  Py_ssize_t i = 0;
  for (const std::string& item : items) {
    PyObject* s = to_py(item);
    if (s == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), i++, s);
  }
  return list;
}

PyObject* definition_regulators(PyObject* o, void*) {
  return string_list(fields_of<MarketDefinitionObject>(o).regulators).release();
}

PyGetSetDef definition_getset[] = {
    VANTREL_GET(MarketDefinitionObject, "event_id", f.event_id),
    VANTREL_GET(MarketDefinitionObject, "event_type_id", f.event_type_id),
    VANTREL_GET(MarketDefinitionObject, "event_name", f.event_name),
    VANTREL_GET(MarketDefinitionObject, "market_type", f.market_type),
    VANTREL_GET(MarketDefinitionObject, "country_code", f.country_code),
    VANTREL_GET(MarketDefinitionObject, "venue", f.venue),
    VANTREL_GET(MarketDefinitionObject, "race_type", f.race_type),
    VANTREL_GET(MarketDefinitionObject, "name", f.name),
    VANTREL_GET(MarketDefinitionObject, "timezone", f.timezone),
    VANTREL_GET(MarketDefinitionObject, "betting_type", f.betting_type),
    {"regulators", definition_regulators, nullptr, nullptr, nullptr},
    VANTREL_GET(MarketDefinitionObject, "runners", f.runners),
    VANTREL_GET(MarketDefinitionObject, "market_time", f.market_time),
    VANTREL_GET(MarketDefinitionObject, "open_date", f.open_date),
    VANTREL_GET(MarketDefinitionObject, "suspend_time", f.suspend_time),
    VANTREL_GET(MarketDefinitionObject, "settled_time", f.settled_time),
    VANTREL_GET(MarketDefinitionObject, "bsp_market", f.bsp_market),
    VANTREL_GET(MarketDefinitionObject, "persistence_enabled", f.persistence_enabled),
    VANTREL_GET(MarketDefinitionObject, "each_way_divisor", f.each_way_divisor),
    VANTREL_GET(MarketDefinitionObject, "turn_in_play_enabled", f.turn_in_play_enabled),
    VANTREL_GET(MarketDefinitionObject, "discount_allowed", f.discount_allowed),
    VANTREL_GET(MarketDefinitionObject, "market_base_rate", f.market_base_rate),
    VANTREL_GET(MarketDefinitionObject, "bet_delay", f.bet_delay),
    VANTREL_GET(MarketDefinitionObject, "number_of_winners", f.number_of_winners),
    VANTREL_GET(MarketDefinitionObject, "number_of_active_runners", f.number_of_active_runners),
    VANTREL_GET(MarketDefinitionObject, "bsp_reconciled", f.bsp_reconciled),
    VANTREL_GET(MarketDefinitionObject, "complete", f.complete),
    VANTREL_GET(MarketDefinitionObject, "cross_matching", f.cross_matching),
    VANTREL_GET(MarketDefinitionObject, "in_play", f.in_play),
    VANTREL_GET(MarketDefinitionObject, "runners_voidable", f.runners_voidable),
    VANTREL_GET(MarketDefinitionObject, "status", f.status),
    VANTREL_GET(MarketDefinitionObject, "version", f.version),
    VANTREL_GET(MarketDefinitionObject, "bet_delay_models", f.bet_delay_models),
    VANTREL_CONST("key_line_definitions", none()),
    VANTREL_CONST("line_interval", none()),
    VANTREL_CONST("line_max_unit", none()),
    VANTREL_CONST("line_min_unit", none()),
    VANTREL_GET(MarketDefinitionObject, "price_ladder_definition", f.price_ladder_definition),
    VANTREL_CONST("suspend_reason", none()),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot definition_slots[] = {
    {Py_tp_doc, const_cast<char*>("Market definition - metadata about the market")},
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(destroy<MarketDefinitionObject>)},
    {Py_tp_traverse, slot(traverse_refs<MarketDefinitionObject>)},
    {Py_tp_clear, slot(clear_refs<MarketDefinitionObject>)},
    {Py_tp_getset, definition_getset},
    {0, nullptr},
};
}  // namespace

PyType_Spec market_definition_runner_spec = {"MarketDefinitionRunner",
                                             sizeof(MarketDefinitionRunnerObject), 0, kClassFlags,
                                             definition_runner_slots};
PyType_Spec market_definition_spec = {"MarketDefinition", sizeof(MarketDefinitionObject), 0,
                                      kGcClassFlags, definition_slots};

namespace {

Ref definition_runner(const MarketDefinitionRunner& record, const SnapshotOptions& options) {
  Ref removal = removal_time(record.removal_date, options.times);
  if (!removal && PyErr_Occurred()) return removal;
  return emplace<MarketDefinitionRunnerObject>(state().market_definition_runner, [&] {
    return FieldsOf<MarketDefinitionRunnerObject>{{record}, std::move(removal)};
  });
}

// price_ladder_description(type=...), or an empty Ref (None) without a description.
Ref price_ladder_object(const MarketCache& c, const SnapshotOptions& options) {
  if (options.price_ladder_description == nullptr || !c.price_ladder_type) return Ref();
  Ref type = Ref::steal(to_py(*c.price_ladder_type));
  if (!type) return type;
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "type", type.get()) < 0) return Ref();
  Ref args = Ref::steal(PyTuple_New(0));
  if (!args) return args;
  return Ref::steal(PyObject_Call(options.price_ladder_description, args.get(), kwargs.get()));
}

}  // namespace

Ref make_market_definition(const MarketCache& c, const SnapshotOptions& options) {
  Ref runners = Ref::steal(PyList_New(static_cast<Py_ssize_t>(c.definition_runners.size())));
  if (!runners) return runners;
  Py_ssize_t i = 0;
  for (const MarketDefinitionRunner& record : c.definition_runners) {
    Ref r = definition_runner(record, options);
    if (!r) return r;
    PyList_SET_ITEM(runners.get(), i++, r.release());
  }
  Ref market_time = definition_time(c.market_time, options.times);
  if (!market_time) return market_time;
  Ref open_date = definition_time(c.open_date, options.times);
  if (!open_date) return open_date;
  Ref suspend_time = definition_time(c.suspend_time, options.times);
  if (!suspend_time) return suspend_time;
  Ref settled_time = definition_time(c.settled_time, options.times);
  if (!settled_time) return settled_time;
  Ref bet_delay_models;
  if (options.bet_delay_models && c.bet_delay_models) {
    bet_delay_models = string_list(*c.bet_delay_models);
    if (!bet_delay_models) return bet_delay_models;
  }
  Ref price_ladder_definition = price_ladder_object(c, options);
  if (!price_ladder_definition && PyErr_Occurred()) return Ref();

  return emplace<MarketDefinitionObject>(state().market_definition, [&] {
    return FieldsOf<MarketDefinitionObject>{
        .each_way_divisor = c.each_way_divisor,
        .regulators = c.regulators,
        .status = c.status,
        .event_id = c.event_id,
        .event_type_id = c.event_type_id,
        .event_name = c.event_name,
        .market_type = c.market_type,
        .country_code = c.country_code,
        .venue = c.venue,
        .race_type = c.race_type,
        .name = c.name,
        .timezone = c.timezone,
        .betting_type = c.betting_type,
        .market_time_raw = c.market_time,
        .open_date_raw = c.open_date,
        .suspend_time_raw = c.suspend_time,
        .runners = std::move(runners),
        .market_time = std::move(market_time),
        .open_date = std::move(open_date),
        .suspend_time = std::move(suspend_time),
        .settled_time = std::move(settled_time),
        .bet_delay_models = std::move(bet_delay_models),
        .price_ladder_definition = std::move(price_ladder_definition),
        .market_base_rate = c.market_base_rate,
        .version = c.version,
        .bet_delay = c.bet_delay,
        .number_of_winners = c.number_of_winners,
        .number_of_active_runners = active_runners(c, options),
        .bsp_market = c.bsp_market,
        .persistence_enabled = c.persistence_enabled,
        .turn_in_play_enabled = c.turn_in_play_enabled,
        .discount_allowed = c.discount_allowed,
        .bsp_reconciled = c.bsp_reconciled,
        .complete = c.complete,
        .cross_matching = c.cross_matching,
        .in_play = c.in_play,
        .runners_voidable = c.runners_voidable};
  });
}

}  // namespace vantrel::py
