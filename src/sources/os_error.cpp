#include "sources/os_error.hpp"

#include <cstring>

namespace vantrel::sources {
namespace {

// glibc and POSIX disagree on what strerror_r returns; these pick the text out of either.
[[maybe_unused]] const char* strerror_result(const char* text, const char*) {
  return text;
}
[[maybe_unused]] const char* strerror_result(int rc, const char* buffer) {
  return rc == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string os_error_text(int err) {
  char buffer[256] = {};
  const char* text = strerror_result(strerror_r(err, buffer, sizeof buffer), buffer);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

}  // namespace vantrel::sources
