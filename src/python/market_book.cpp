#include "python/market_book.hpp"

#include "python/convert.hpp"
#include "python/dict_export.hpp"
#include "python/market_definition.hpp"
#include "python/module_state.hpp"
#include "python/object.hpp"

namespace vantrel::py {

namespace {

PyObject* get_streaming_unique_id(PyObject* self, void*) {
  return to_py(fields_of<MarketBookObject>(self).streaming_unique_id);
}

int set_streaming_unique_id(PyObject* self, PyObject* value, void*) {
  auto& f = fields_of<MarketBookObject>(self);
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
  }
  if (value == Py_None) {
    f.streaming_unique_id.reset();
    return 0;
  }
  const long v = PyLong_AsLong(value);
  if (v == -1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyObject* exc = PyErr_GetRaisedException();
      Ref text = Ref::steal(PyObject_Str(exc));
      Py_DECREF(exc);
      if (!text) return -1;
      PyErr_Format(PyExc_TypeError, "argument 'streaming_unique_id': %U", text.get());
    }
    return -1;
  }
  if (v < INT32_MIN || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return -1;
  }
  f.streaming_unique_id = static_cast<std::int32_t>(v);
  return 0;
}

PyObject* get_publish_time_epoch(PyObject* self, void*) {
  return to_py(fields_of<MarketBookObject>(self).publish_time_epoch);
}

PyMethodDef market_book_methods[] = {
    {"to_dict", market_book_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nConvert to a dict matching betfairutil lightweight format (for "
     "testing)"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef market_book_getset[] = {
    {"streaming_unique_id", get_streaming_unique_id, set_streaming_unique_id,
     "Streaming unique ID (set by stream for flumine compatibility)", nullptr},
    VANTREL_GET(MarketBookObject, "market_id", f.market_id),
    VANTREL_GET(MarketBookObject, "publish_time", f.publish_time),
    {"publish_time_epoch", get_publish_time_epoch, nullptr,
     "publish_time in epoch milliseconds (int, for flumine compatibility)", nullptr},
    VANTREL_GET(MarketBookObject, "status", said(f.defined, f.status)),
    VANTREL_GET(MarketBookObject, "bet_delay", said(f.defined, f.bet_delay)),
    VANTREL_GET(MarketBookObject, "bsp_reconciled", said(f.defined, f.bsp_reconciled)),
    VANTREL_GET(MarketBookObject, "complete", said(f.defined, f.complete)),
    VANTREL_GET(MarketBookObject, "cross_matching", said(f.defined, f.cross_matching)),
    VANTREL_GET(MarketBookObject, "inplay", said(f.defined, f.inplay)),
    VANTREL_GET(MarketBookObject, "number_of_active_runners",
                said(f.defined, f.number_of_active_runners)),
    VANTREL_GET(MarketBookObject, "number_of_runners", f.number_of_runners),
    VANTREL_GET(MarketBookObject, "number_of_winners", said(f.defined, f.number_of_winners)),
    VANTREL_GET(MarketBookObject, "runners_voidable", said(f.defined, f.runners_voidable)),
    VANTREL_GET(MarketBookObject, "total_matched", f.total_matched),
    VANTREL_GET(MarketBookObject, "version", said(f.defined, f.version)),
    VANTREL_GET(MarketBookObject, "last_match_time", f.last_match_time),
    VANTREL_GET(MarketBookObject, "market_definition", f.market_definition),
    VANTREL_GET(MarketBookObject, "runners", f.runners),
    VANTREL_CONST("bet_delay_models", none()),
    VANTREL_CONST("elapsed_time", none()),
    VANTREL_CONST("is_market_data_delayed", none()),
    VANTREL_CONST("key_line_description", none()),
    VANTREL_GET(MarketBookObject, "price_ladder_definition", f.price_ladder_definition),
    VANTREL_CONST("suspend_reason", none()),
    VANTREL_CONST("total_available", none()),
    VANTREL_CONST("streaming_snap", boolean(true)),
    VANTREL_CONST("streaming_update", none()),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot market_book_slots[] = {
    {Py_tp_doc, const_cast<char*>("A market book snapshot")},
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(destroy<MarketBookObject>)},
    {Py_tp_traverse, slot(traverse_refs<MarketBookObject>)},
    {Py_tp_clear, slot(clear_refs<MarketBookObject>)},
    {Py_tp_methods, market_book_methods},
    {Py_tp_getset, market_book_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec market_book_spec = {"MarketBook", sizeof(MarketBookObject), 0, kGcClassFlags,
                                market_book_slots};

Ref make_market_book(const MarketCache& c, Ref runners, Ref definition, Ref publish_time,
                     double total_matched, const SnapshotOptions& options) {
  Ref price_ladder_definition;
  if (definition) {
    price_ladder_definition = Ref::borrow(
        fields_of<MarketDefinitionObject>(definition.get()).price_ladder_definition.get());
  }
  return emplace<MarketBookObject>(state().market_book, [&] {
    return FieldsOf<MarketBookObject>{.market_id = c.market_id,
                                      .status = c.status,
                                      .publish_time = std::move(publish_time),
                                      .publish_time_epoch = c.publish_time,
                                      .version = c.version,
                                      .total_matched = total_matched,
                                      .last_match_time = c.last_match_time,
                                      .bet_delay = c.bet_delay,
                                      .number_of_active_runners = active_runners(c, options),
                                      .number_of_runners = c.number_of_runners,
                                      .number_of_winners = c.number_of_winners,
                                      .bsp_reconciled = c.bsp_reconciled,
                                      .complete = c.complete,
                                      .cross_matching = c.cross_matching,
                                      .inplay = c.in_play,
                                      .runners_voidable = c.runners_voidable,
                                      .defined = shows_definition_fields(c, options),
                                      .runners = std::move(runners),
                                      .market_definition = std::move(definition),
                                      .price_ladder_definition = std::move(price_ladder_definition),
                                      .streaming_unique_id = std::nullopt};
  });
}

}  // namespace vantrel::py
