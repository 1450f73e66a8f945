#include "market/py_snapshot.hpp"

#include <charconv>
#include <cmath>
#include <span>
#include <string_view>
#include <string>

#include "market/py_convert.hpp"

namespace vantrel::py {

// ---------------------------------------------------------------------------------------------
// Shared pieces

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

void raise_conversion_error(const char* argument, PyObject* obj, const char* target) {
  Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'",
               argument, type_name.get(), target);
}

PyTypeObject* type_from_spec(PyTypeObject*& slot, PyType_Spec& spec) {
  if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return slot;
}

namespace {


constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
constexpr unsigned kGcFlags = kFlags | Py_TPFLAGS_HAVE_GC;

// ---------------------------------------------------------------------------------------------
// PriceSize

// The shortest decimal that reads back to the same double, never with an exponent: the
// shortest digits come from the scientific form and are then placed around the point.
void append_decimal(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-inf" : "inf";
    return;
  }
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  const std::size_t e = sci.find('e');
  std::string_view mantissa = sci.substr(0, e);
  const char* exp_text = sci.data() + e + 1;
  if (*exp_text == '+') ++exp_text;
  int exponent = 0;
  std::from_chars(exp_text, sci.data() + sci.size(), exponent);
  if (mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (const char c : mantissa) {
    if (c != '.') digits += c;
  }
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    out += digits;
    out.append(static_cast<std::size_t>(point) - digits.size(), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
}

PyObject* price_size_repr(PyObject* self) {
  const auto& f = reinterpret_cast<PriceSizeObject*>(self)->fields;
  std::string s = "PriceSize(price=";
  append_decimal(s, f.price);
  s += ", size=";
  append_decimal(s, f.size);
  s += ")";
  return to_py(s);
}

PyObject* price_size_subscript(PyObject* self, PyObject* key) {
  const auto& f = reinterpret_cast<PriceSizeObject*>(self)->fields;
  if (!PyUnicode_Check(key)) {
    raise_conversion_error("key", key, "PyString");
    return nullptr;
  }
  if (PyUnicode_CompareWithASCIIString(key, "price") == 0) return to_py(f.price);
  if (PyUnicode_CompareWithASCIIString(key, "size") == 0) return to_py(f.size);
  PyErr_SetObject(PyExc_KeyError, key);
  return nullptr;
}

PyGetSetDef price_size_getset[] = {
    VANTREL_GET(PriceSizeObject, "price", f.price),
    VANTREL_GET(PriceSizeObject, "size", f.size),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A changed ladder is read out whole into a list of new objects, so a replay makes and drops
// PriceSize objects by the hundred per step. Keeping the memory of dropped ones for the next
// list spares the allocator both ways; the interpreter does the same for its floats. Only ever
// touched with the interpreter lock held.
class PriceSizePool {
 public:
  PriceSizeObject* take(PyTypeObject* type) {
    PyObject* raw;
    if (head_ != nullptr) {
      raw = head_;
      head_ = next_of(raw);
      --count_;
    } else {
      raw = static_cast<PyObject*>(PyObject_Malloc(sizeof(PriceSizeObject)));
      if (raw == nullptr) return reinterpret_cast<PriceSizeObject*>(PyErr_NoMemory());
    }
    PyObject_Init(raw, type);  // takes the type's reference, as the interpreter's allocation does
    return reinterpret_cast<PriceSizeObject*>(raw);
  }

  void give(PyObject* raw) {
    if (count_ >= kMaxKept) {
      PyObject_Free(raw);
      return;
    }
    next_of(raw) = head_;
    head_ = raw;
    ++count_;
  }

 private:
  // Enough for the lists a deep market drops in one step; beyond it memory goes back.
  static constexpr std::size_t kMaxKept = 16384;

  // A kept block is no object any more: its first word links it to the next one.
  static PyObject*& next_of(PyObject* raw) { return *reinterpret_cast<PyObject**>(raw); }

  PyObject* head_ = nullptr;
  std::size_t count_ = 0;
};

PriceSizePool g_price_size_pool;

void price_size_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  g_price_size_pool.give(self);
  Py_DECREF(type);
}

PyObject* new_price_size(PyTypeObject* type, double price, double size) {
  PriceSizeObject* ps = g_price_size_pool.take(type);
  if (ps == nullptr) return nullptr;
  ps->fields.price = price;
  ps->fields.size = size;
  return reinterpret_cast<PyObject*>(ps);
}

PyType_Slot price_size_slots[] = {
    {Py_tp_doc, const_cast<char*>("A price/size pair in the order book")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(price_size_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(price_size_repr)},
    {Py_mp_subscript, reinterpret_cast<void*>(price_size_subscript)},
    {Py_tp_getset, price_size_getset},
    {0, nullptr},
};
PyType_Spec price_size_spec = {"PriceSize", sizeof(PriceSizeObject), 0, kFlags, price_size_slots};

// ---------------------------------------------------------------------------------------------
// Ladder read-outs
//
// When a ladder has changed, the snapshot gets a copy of its levels, not the PriceSize objects
// themselves: the list is made the first time Python asks for it, and every ExchangePrices
// sharing the read-out hands out that one list. A replay that never looks at a ladder pays a
// copy of its levels per change instead of an object per level. The levels are stored after
// the header, in one allocation with it.

struct LadderReadoutObject {
  PyObject_VAR_HEAD
  PyObject* list;  // null until first asked for
};

constexpr std::size_t kLevelsOffset =
    (sizeof(LadderReadoutObject) + alignof(PriceSize) - 1) / alignof(PriceSize) * alignof(PriceSize);

PriceSize* levels_of(PyObject* readout) {
  return reinterpret_cast<PriceSize*>(reinterpret_cast<char*>(readout) + kLevelsOffset);
}

int ladder_readout_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<LadderReadoutObject*>(self)->list);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int ladder_readout_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<LadderReadoutObject*>(self)->list);
  return 0;
}

void ladder_readout_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  ladder_readout_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot ladder_readout_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ladder_readout_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ladder_readout_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ladder_readout_clear)},
    {0, nullptr},
};
PyType_Spec ladder_readout_spec = {"vantrel.LadderReadout", static_cast<int>(kLevelsOffset),
                                   static_cast<int>(sizeof(PriceSize)), kGcFlags,
                                   ladder_readout_slots};
PyTypeObject* g_ladder_readout = nullptr;

PyTypeObject* ladder_readout_type() { return type_from_spec(g_ladder_readout, ladder_readout_spec); }

// ---------------------------------------------------------------------------------------------
// ExchangePrices

int exchange_prices_traverse(PyObject* self, visitproc visit, void* arg) {
  auto& f = reinterpret_cast<ExchangePricesObject*>(self)->fields;
  Py_VISIT(f.available_to_back.get());
  Py_VISIT(f.available_to_lay.get());
  Py_VISIT(f.traded_volume.get());
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int exchange_prices_clear(PyObject* self) {
  auto& f = reinterpret_cast<ExchangePricesObject*>(self)->fields;
  f.available_to_back = Ref();
  f.available_to_lay = Ref();
  f.traded_volume = Ref();
  return 0;
}

template <Ref ExchangePricesObject::Fields::*member>
PyObject* get_price_list(PyObject* self, void*) {
  return price_list(reinterpret_cast<ExchangePricesObject*>(self)->fields.*member).release();
}

PyGetSetDef exchange_prices_getset[] = {
    {"available_to_back", get_price_list<&ExchangePricesObject::Fields::available_to_back>,
     nullptr, nullptr, nullptr},
    {"available_to_lay", get_price_list<&ExchangePricesObject::Fields::available_to_lay>, nullptr,
     nullptr, nullptr},
    {"traded_volume", get_price_list<&ExchangePricesObject::Fields::traded_volume>, nullptr,
     nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot exchange_prices_slots[] = {
    {Py_tp_doc, const_cast<char*>("Exchange prices for a runner (back/lay/traded)")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy<ExchangePricesObject>)},
    {Py_tp_traverse, reinterpret_cast<void*>(exchange_prices_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(exchange_prices_clear)},
    {Py_tp_getset, exchange_prices_getset},
    {0, nullptr},
};
PyType_Spec exchange_prices_spec = {"ExchangePrices", sizeof(ExchangePricesObject), 0, kGcFlags,
                                    exchange_prices_slots};

// ---------------------------------------------------------------------------------------------
// StartingPrices

PyGetSetDef starting_prices_getset[] = {
    VANTREL_GET(StartingPricesObject, "near_price", f.near_price),
    VANTREL_GET(StartingPricesObject, "far_price", f.far_price),
    VANTREL_GET(StartingPricesObject, "actual_sp", f.actual_sp),
    {"back_stake_taken",
     [](PyObject* o, void*) -> PyObject* {
       return create_price_list(
                  readout_levels(reinterpret_cast<StartingPricesObject*>(o)->fields.back_stake_taken))
           .release();
     },
     nullptr, nullptr, nullptr},
    {"lay_liability_taken",
     [](PyObject* o, void*) -> PyObject* {
       return create_price_list(
                  readout_levels(reinterpret_cast<StartingPricesObject*>(o)->fields.lay_liability_taken))
           .release();
     },
     nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot starting_prices_slots[] = {
    {Py_tp_doc, const_cast<char*>("Starting prices for a runner")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy<StartingPricesObject>)},
    {Py_tp_getset, starting_prices_getset},
    {0, nullptr},
};
PyType_Spec starting_prices_spec = {"StartingPrices", sizeof(StartingPricesObject), 0, kFlags,
                                    starting_prices_slots};

// ---------------------------------------------------------------------------------------------
// Runner

int runner_traverse(PyObject* self, visitproc visit, void* arg) {
  auto& f = reinterpret_cast<RunnerObject*>(self)->fields;
  Py_VISIT(f.status.get());
  Py_VISIT(f.ex.get());
  Py_VISIT(f.sp.back_stake_taken.get());
  Py_VISIT(f.sp.lay_liability_taken.get());
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int runner_clear(PyObject* self) {
  auto& f = reinterpret_cast<RunnerObject*>(self)->fields;
  f.status = Ref();
  f.ex = Ref();
  f.sp.back_stake_taken = Ref();
  f.sp.lay_liability_taken = Ref();
  return 0;
}

PyObject* runner_sp(PyObject* self, void*) {
  PyTypeObject* type = starting_prices_type();
  if (type == nullptr) return nullptr;
  const StartingPriceData& d = reinterpret_cast<RunnerObject*>(self)->fields.sp;
  StartingPricesObject* sp = allocate<StartingPricesObject>(
      type, StartingPriceData{d.near_price, d.far_price, d.actual_sp,
                              Ref::borrow(d.back_stake_taken.get()),
                              Ref::borrow(d.lay_liability_taken.get())});
  return reinterpret_cast<PyObject*>(sp);
}

PyGetSetDef runner_getset[] = {
    VANTREL_GET(RunnerObject, "selection_id", f.selection_id),
    VANTREL_GET(RunnerObject, "handicap", f.handicap),
    VANTREL_GET(RunnerObject, "adjustment_factor", f.adjustment_factor),
    VANTREL_GET(RunnerObject, "last_price_traded", f.last_price_traded),
    VANTREL_GET(RunnerObject, "total_matched", f.total_matched),
    VANTREL_GET(RunnerObject, "status", f.status),
    VANTREL_GET(RunnerObject, "removal_date", f.removal_date),
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
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy<RunnerObject>)},
    {Py_tp_traverse, reinterpret_cast<void*>(runner_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(runner_clear)},
    {Py_tp_getset, runner_getset},
    {0, nullptr},
};
PyType_Spec runner_spec = {"Runner", sizeof(RunnerObject), 0, kGcFlags, runner_slots};

// ---------------------------------------------------------------------------------------------
// MarketBook

int market_book_traverse(PyObject* self, visitproc visit, void* arg) {
  auto& f = reinterpret_cast<MarketBookObject*>(self)->fields;
  Py_VISIT(f.publish_time.get());
  Py_VISIT(f.runners.get());
  Py_VISIT(f.market_definition.get());
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int market_book_clear(PyObject* self) {
  auto& f = reinterpret_cast<MarketBookObject*>(self)->fields;
  f.publish_time = Ref();
  f.runners = Ref();
  f.market_definition = Ref();
  return 0;
}

int set_streaming_unique_id(PyObject* self, PyObject* value, void*) {
  auto& f = reinterpret_cast<MarketBookObject*>(self)->fields;
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

PyMethodDef market_book_methods[] = {
    {"to_dict", market_book_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nConvert to a dict matching betfairutil lightweight format (for "
     "testing)"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef market_book_getset[] = {
    {"streaming_unique_id",
     [](PyObject* o, void*) -> PyObject* {
       return to_py(reinterpret_cast<MarketBookObject*>(o)->fields.streaming_unique_id);
     },
     set_streaming_unique_id, "Streaming unique ID (set by stream for flumine compatibility)",
     nullptr},
    VANTREL_GET(MarketBookObject, "market_id", f.market_id),
    VANTREL_GET(MarketBookObject, "publish_time", f.publish_time),
    {"publish_time_epoch",
     [](PyObject* o, void*) -> PyObject* {
       return to_py(reinterpret_cast<MarketBookObject*>(o)->fields.publish_time_epoch);
     },
     nullptr, "publish_time in epoch milliseconds (int, for flumine compatibility)", nullptr},
    VANTREL_GET(MarketBookObject, "status", f.status),
    VANTREL_GET(MarketBookObject, "bet_delay", f.bet_delay),
    VANTREL_GET(MarketBookObject, "bsp_reconciled", f.bsp_reconciled),
    VANTREL_GET(MarketBookObject, "complete", f.complete),
    VANTREL_GET(MarketBookObject, "cross_matching", f.cross_matching),
    VANTREL_GET(MarketBookObject, "inplay", f.inplay),
    VANTREL_GET(MarketBookObject, "number_of_active_runners", f.number_of_active_runners),
    VANTREL_GET(MarketBookObject, "number_of_runners", f.number_of_runners),
    VANTREL_GET(MarketBookObject, "number_of_winners", f.number_of_winners),
    VANTREL_GET(MarketBookObject, "runners_voidable", f.runners_voidable),
    VANTREL_GET(MarketBookObject, "total_matched", f.total_matched),
    VANTREL_GET(MarketBookObject, "version", f.version),
    VANTREL_GET(MarketBookObject, "last_match_time", f.last_match_time),
    VANTREL_GET(MarketBookObject, "market_definition", f.market_definition),
    VANTREL_GET(MarketBookObject, "runners", f.runners),
    VANTREL_CONST("bet_delay_models", none()),
    VANTREL_CONST("elapsed_time", none()),
    VANTREL_CONST("is_market_data_delayed", none()),
    VANTREL_CONST("key_line_description", none()),
    VANTREL_CONST("price_ladder_definition", none()),
    VANTREL_CONST("suspend_reason", none()),
    VANTREL_CONST("total_available", none()),
    VANTREL_CONST("streaming_snap", boolean(true)),
    VANTREL_CONST("streaming_update", none()),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot market_book_slots[] = {
    {Py_tp_doc, const_cast<char*>("A market book snapshot")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy<MarketBookObject>)},
    {Py_tp_traverse, reinterpret_cast<void*>(market_book_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(market_book_clear)},
    {Py_tp_methods, market_book_methods},
    {Py_tp_getset, market_book_getset},
    {0, nullptr},
};
PyType_Spec market_book_spec = {"MarketBook", sizeof(MarketBookObject), 0, kGcFlags,
                                market_book_slots};

PyTypeObject* g_market_book = nullptr;
PyTypeObject* g_runner = nullptr;
PyTypeObject* g_exchange_prices = nullptr;
PyTypeObject* g_starting_prices = nullptr;
PyTypeObject* g_price_size = nullptr;

}  // namespace

PyTypeObject* market_book_type() { return type_from_spec(g_market_book, market_book_spec); }
PyTypeObject* runner_type() { return type_from_spec(g_runner, runner_spec); }
PyTypeObject* exchange_prices_type() {
  return type_from_spec(g_exchange_prices, exchange_prices_spec);
}
PyTypeObject* starting_prices_type() {
  return type_from_spec(g_starting_prices, starting_prices_spec);
}
PyTypeObject* price_size_type() { return type_from_spec(g_price_size, price_size_spec); }

// ---------------------------------------------------------------------------------------------
// Creation

Ref create_price_list(std::span<const PriceSize> levels) {
  PyTypeObject* type = price_size_type();
  if (type == nullptr) return Ref();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(levels.size())));
  if (!list) return list;
  Py_ssize_t i = 0;
  for (const PriceSize& l : levels) {
    PyObject* ps = new_price_size(type, l.price, l.size);
    if (ps == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), i++, ps);
  }
  return list;
}

Ref read_out_ladder(const PriceLadder& ladder) {
  PyTypeObject* type = ladder_readout_type();
  if (type == nullptr) return Ref();
  auto* readout = PyObject_GC_NewVar(LadderReadoutObject, type,
                                     static_cast<Py_ssize_t>(ladder.size()));
  if (readout == nullptr) return Ref();
  readout->list = nullptr;
  ladder.copy_levels(levels_of(reinterpret_cast<PyObject*>(readout)));
  PyObject_GC_Track(readout);
  return Ref::steal(reinterpret_cast<PyObject*>(readout));
}

std::span<const PriceSize> readout_levels(const Ref& readout) {
  if (!readout) return {};
  return {levels_of(readout.get()), static_cast<std::size_t>(Py_SIZE(readout.get()))};
}

Ref price_list(const Ref& readout) {
  if (!readout) return Ref::borrow(Py_None);  // emptied by the collector's clear
  auto* r = reinterpret_cast<LadderReadoutObject*>(readout.get());
  if (r->list == nullptr) {
    const auto* levels = levels_of(readout.get());
    Ref list = create_price_list({levels, static_cast<std::size_t>(Py_SIZE(r))});
    if (!list) return list;
    r->list = list.release();
  }
  return Ref::borrow(r->list);
}

Ref make_exchange_prices(Ref back, Ref lay, Ref traded) {
  PyTypeObject* type = exchange_prices_type();
  if (type == nullptr) return Ref();
  auto* ex = allocate<ExchangePricesObject>(type, std::move(back), std::move(lay), std::move(traded));
  if (ex == nullptr) return Ref();
  PyObject_GC_Track(ex);
  return Ref::steal(reinterpret_cast<PyObject*>(ex));
}

Ref make_runner(const RunnerCache& r, Ref ex, Ref spl, Ref spb) {
  PyTypeObject* type = runner_type();
  if (type == nullptr) return Ref();
  Ref status = Ref::steal(to_py(r.status));
  if (!status) return status;
  auto* obj = allocate<RunnerObject>(
      type, r.selection_id, r.handicap, r.adjustment_factor, r.last_price_traded, r.total_matched,
      std::move(status), r.removal_date, std::move(ex),
      StartingPriceData{r.near_price, r.far_price, r.actual_sp, std::move(spl), std::move(spb)});
  if (obj == nullptr) return Ref();
  PyObject_GC_Track(obj);
  return Ref::steal(reinterpret_cast<PyObject*>(obj));
}

Ref make_market_book(const MarketCache& c, Ref runners, Ref definition, Ref publish_time) {
  PyTypeObject* type = market_book_type();
  if (type == nullptr) return Ref();
  auto* obj = allocate<MarketBookObject>(
      type, c.market_id, c.status, std::move(publish_time), c.publish_time, c.version,
      c.total_matched, c.last_match_time, c.bet_delay, c.number_of_active_runners,
      c.number_of_runners, c.number_of_winners, c.bsp_reconciled, c.complete, c.cross_matching,
      c.in_play, c.runners_voidable, std::move(runners), std::move(definition),
      std::optional<std::int32_t>());
  if (obj == nullptr) return Ref();
  PyObject_GC_Track(obj);
  return Ref::steal(reinterpret_cast<PyObject*>(obj));
}

}  // namespace vantrel::py
