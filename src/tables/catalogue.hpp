// One row per market of each recording, from its first definition: what a recording holds,
// and where in its file, for picking markets before replaying any.
#pragma once

#include <memory>

#include "tables/book_sink.hpp"

namespace vantrel::tables {

// The runners of a row's first definition come as a list column of selection ids, "runners",
// and beside it one flat column per other field of theirs ("runners.handicap", ...), one value
// per runner in list order: the Python layer joins them into a list of structs.
std::unique_ptr<BookSink> make_catalogue_sink();

}  // namespace vantrel::tables
