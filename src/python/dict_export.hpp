// MarketBook.to_dict(): a snapshot as plain dicts and lists under the stream's own key names.
#pragma once

#include <Python.h>

namespace vantrel::py {

PyObject* market_book_to_dict(PyObject* self, PyObject* unused);

}  // namespace vantrel::py
