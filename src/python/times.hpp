// Times as datetime objects: the one place the Python layer makes them.
//
// vantrel.vantrel goes through the datetime module at every call, as user code would: no
// module, class or result is cached, and its warnings reach the user's filters. The package's
// replay makes them here from the core's reading instead: a few dozen instructions per value
// rather than most of a replay step, and no deprecation warning per book.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "python/ref.hpp"

namespace vantrel::py {

enum class Times : std::uint8_t {
  kInterpreter,  // through the datetime module's own calls, naive
  kNaive,        // made here, naive UTC
  kAware,        // made here, aware UTC
};

// Imports the datetime C API that the times made here need; false with an exception set on
// failure. Call once at import.
bool init_times();

// A publish time in epoch milliseconds.
Ref publish_time(std::int64_t milliseconds, Times times);

// A definition time ("2024-05-01T13:00:00.000Z"), None when absent.
Ref definition_time(const std::optional<std::string>& text, Times times);

// A runner's removal date: a time in the package's books, while vantrel.vantrel hands out the
// text, for which this gives an empty Ref without an exception.
Ref removal_time(const std::optional<std::string>& text, Times times);

}  // namespace vantrel::py
