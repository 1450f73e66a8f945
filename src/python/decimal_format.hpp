// Doubles as the shortest decimal text that reads back to the same value.
#pragma once

#include <string>

namespace vantrel::py {

// Appends `v` without an exponent ("1.5", "0.0001", "100000000000000000000"); "NaN", "inf".
void append_decimal(std::string& out, double v);

}  // namespace vantrel::py
