// PricesIterator: owns the decoded messages of one file and the market cache they build.
#pragma once

#include <Python.h>

#include <memory>

#include "messages/message_store.hpp"
#include "python/ref.hpp"

namespace vantrel::py {

extern PyType_Spec prices_iterator_spec;

// A new iterator over `messages`, positioned at the first one.
Ref make_prices_iterator(std::unique_ptr<MessageStore> messages);

}  // namespace vantrel::py
