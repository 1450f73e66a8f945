// Times made here rather than by calling into the datetime module: a few dozen instructions
// per value instead of most of a replay step, and no deprecation warning per book. Used by the
// package's replay; the module vantrel.vantrel keeps going through the interpreter's calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "python/ref.hpp"

namespace vantrel::py {

// Imports the datetime C API; false with an exception set on failure. Call once at import.
bool init_fast_times();

// UTC datetime of a publish time in epoch milliseconds: naive, or aware with tzinfo UTC.
Ref datetime_from_ms(std::int64_t milliseconds, bool aware);

// A definition time ("2024-05-01T13:00:00.000Z"): None when absent; a text the fast reading does
// not take goes through the interpreter's strptime, so its errors are the same as ever.
Ref definition_time(const std::optional<std::string>& text, bool aware);

}  // namespace vantrel::py
