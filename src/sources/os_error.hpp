// The text of an operating-system error, as the user sees it.
#pragma once

#include <string>

namespace vantrel::sources {

// "No such file or directory (os error 2)"
std::string os_error_text(int err);

}  // namespace vantrel::sources
