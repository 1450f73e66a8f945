// What the extension keeps for the life of the process: its classes and the interned names it
// looks attributes up by. Filled once at import, in registration order; read everywhere else.
#pragma once

#include <Python.h>

#include <span>

namespace vantrel::py {

struct ModuleState {
  PyTypeObject* prices_iterator = nullptr;
  PyTypeObject* market_book = nullptr;
  PyTypeObject* runner = nullptr;
  PyTypeObject* exchange_prices = nullptr;
  PyTypeObject* starting_prices = nullptr;
  PyTypeObject* price_size = nullptr;
  PyTypeObject* market_definition = nullptr;
  PyTypeObject* market_definition_runner = nullptr;
  // Not registered: the levels of a ladder read-out, behind the price lists.
  PyTypeObject* ladder_readout = nullptr;

  // Hashing a fresh string at every snapshot would cost more than the lookups themselves.
  PyObject* datetime_name = nullptr;
  PyObject* strptime_name = nullptr;
  PyObject* utcfromtimestamp_name = nullptr;
};

// The one state; its members are null until `init_state` has succeeded.
ModuleState& state();

// One class: the name it is registered under (null for the hidden one), its spec and where
// its type object goes.
struct ClassEntry {
  const char* name;
  PyType_Spec* spec;
  PyTypeObject* ModuleState::*type;
};

// Every class, in registration order.
std::span<const ClassEntry> class_table();

// Creates every class and name; false with an exception set on failure.
bool init_state();

// For a second extension module built from the same code: takes the registered classes from
// `module` (vantrel.vantrel), so that both hand out objects of the very same classes, and
// creates the hidden one and the names itself.
bool adopt_state(PyObject* module);

}  // namespace vantrel::py
