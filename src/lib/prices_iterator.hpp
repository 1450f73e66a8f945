// PricesIterator: owns the decoded messages of one file and the market cache they build.
#pragma once

#include <Python.h>

#include <memory>

#include "market/market_cache.hpp"
#include "messages/message_store.hpp"

namespace vantrel::py {

PyTypeObject* prices_iterator_type();

// A new iterator over `messages`, positioned at the first one.
PyObject* make_prices_iterator(std::unique_ptr<MessageStore> messages);

}  // namespace vantrel::py
