// Times as naive UTC datetime objects, made by the interpreter's own datetime module.
//
// Both conversions go through the datetime module at every call, as user code would: no module,
// class or result is cached, and its warnings reach the user's filters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "python/ref.hpp"

namespace vantrel::py {

// None for an absent text; otherwise strptime with fractional seconds, then whole seconds.
Ref parse_datetime_or_none(const std::optional<std::string>& text);

// datetime.datetime.utcfromtimestamp(ms / 1000.0)
Ref publish_time_to_datetime(std::int64_t milliseconds);

}  // namespace vantrel::py
