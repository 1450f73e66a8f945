#include "market/py_definition.hpp"

#include "market/py_convert.hpp"
#include "market/py_times.hpp"

namespace vantrel::py {

namespace {


constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

// ---------------------------------------------------------------------------------------------
// MarketDefinitionRunner

PyGetSetDef definition_runner_getset[] = {
    VANTREL_GET(MarketDefinitionRunnerObject, "selection_id", f.selection_id),
    VANTREL_GET(MarketDefinitionRunnerObject, "sort_priority", f.sort_priority),
    VANTREL_GET(MarketDefinitionRunnerObject, "status", f.status),
    VANTREL_GET(MarketDefinitionRunnerObject, "handicap", f.handicap),
    VANTREL_GET(MarketDefinitionRunnerObject, "adjustment_factor", f.adjustment_factor),
    VANTREL_GET(MarketDefinitionRunnerObject, "removal_date", f.removal_date),
    VANTREL_GET(MarketDefinitionRunnerObject, "name", f.name),
    VANTREL_GET(MarketDefinitionRunnerObject, "bsp", f.bsp),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot definition_runner_slots[] = {
    {Py_tp_doc, const_cast<char*>("A runner in a market definition")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy<MarketDefinitionRunnerObject>)},
    {Py_tp_getset, definition_runner_getset},
    {0, nullptr},
};
PyType_Spec definition_runner_spec = {"MarketDefinitionRunner",
                                      sizeof(MarketDefinitionRunnerObject), 0, kFlags,
                                      definition_runner_slots};

// ---------------------------------------------------------------------------------------------
// MarketDefinition

int definition_traverse(PyObject* self, visitproc visit, void* arg) {
  auto& f = reinterpret_cast<MarketDefinitionObject*>(self)->fields;
  Py_VISIT(f.runners.get());
  Py_VISIT(f.market_time.get());
  Py_VISIT(f.open_date.get());
  Py_VISIT(f.suspend_time.get());
  Py_VISIT(f.settled_time.get());
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int definition_clear(PyObject* self) {
  auto& f = reinterpret_cast<MarketDefinitionObject*>(self)->fields;
  f.runners = Ref();
  f.market_time = Ref();
  f.open_date = Ref();
  f.suspend_time = Ref();
  f.settled_time = Ref();
  return 0;
}

PyObject* definition_regulators(PyObject* o, void*) {
  const auto& regulators = reinterpret_cast<MarketDefinitionObject*>(o)->fields.regulators;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(regulators.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const std::string& r : regulators) {
    PyObject* s = to_py(r);
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i++, s);
  }
  return list.release();
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
    VANTREL_CONST("bet_delay_models", none()),
    VANTREL_CONST("key_line_definitions", none()),
    VANTREL_CONST("line_interval", none()),
    VANTREL_CONST("line_max_unit", none()),
    VANTREL_CONST("line_min_unit", none()),
    VANTREL_CONST("price_ladder_definition", none()),
    VANTREL_CONST("suspend_reason", none()),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot definition_slots[] = {
    {Py_tp_doc, const_cast<char*>("Market definition - metadata about the market")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy<MarketDefinitionObject>)},
    {Py_tp_traverse, reinterpret_cast<void*>(definition_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(definition_clear)},
    {Py_tp_getset, definition_getset},
    {0, nullptr},
};
PyType_Spec definition_spec = {"MarketDefinition", sizeof(MarketDefinitionObject), 0,
                               kFlags | Py_TPFLAGS_HAVE_GC, definition_slots};

PyTypeObject* g_definition = nullptr;
PyTypeObject* g_definition_runner = nullptr;

}  // namespace

PyTypeObject* market_definition_type() { return type_from_spec(g_definition, definition_spec); }
PyTypeObject* market_definition_runner_type() {
  return type_from_spec(g_definition_runner, definition_runner_spec);
}

Ref make_market_definition(const MarketCache& c) {
  PyTypeObject* runner_type = market_definition_runner_type();
  PyTypeObject* type = market_definition_type();
  if (runner_type == nullptr || type == nullptr) return Ref();

  Ref runners = Ref::steal(PyList_New(static_cast<Py_ssize_t>(c.definition_runners.size())));
  if (!runners) return runners;
  Py_ssize_t i = 0;
  for (const MarketDefinitionRunner& rec : c.definition_runners) {
    auto* r = allocate<MarketDefinitionRunnerObject>(runner_type, rec);
    if (r == nullptr) return Ref();
    PyList_SET_ITEM(runners.get(), i++, reinterpret_cast<PyObject*>(r));
  }
  Ref market_time = parse_datetime_or_none(c.market_time);
  if (!market_time) return market_time;
  Ref open_date = parse_datetime_or_none(c.open_date);
  if (!open_date) return open_date;
  Ref suspend_time = parse_datetime_or_none(c.suspend_time);
  if (!suspend_time) return suspend_time;
  Ref settled_time = parse_datetime_or_none(c.settled_time);
  if (!settled_time) return settled_time;

  auto* obj = allocate<MarketDefinitionObject>(
      type, c.each_way_divisor, c.regulators, c.status, c.event_id, c.event_type_id, c.event_name,
      c.market_type, c.country_code, c.venue, c.race_type, c.name, c.timezone, c.betting_type,
      c.market_time, c.open_date, c.suspend_time, std::move(runners), std::move(market_time),
      std::move(open_date), std::move(suspend_time), std::move(settled_time), c.market_base_rate,
      c.version, c.bet_delay, c.number_of_winners, c.number_of_active_runners, c.bsp_market,
      c.persistence_enabled, c.turn_in_play_enabled, c.discount_allowed, c.bsp_reconciled,
      c.complete, c.cross_matching, c.in_play, c.runners_voidable);
  if (obj == nullptr) return Ref();
  PyObject_GC_Track(obj);
  return Ref::steal(reinterpret_cast<PyObject*>(obj));
}

}  // namespace vantrel::py
