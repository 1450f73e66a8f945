// Arbitrary bytes as a reader's whole input, whatever they claim to be: compressed, a tar or a
// zip, or one inside the other. Walking every recording must end without a crash, hand out only
// non-empty, trimmed, valid UTF-8 lines, keep to the size limit, and give a notice (bytes after
// compressed data) only with a recording read whole or at the end.
#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "sources/recording_reader.hpp"
#include "sources/utf8.hpp"

using vantrel::sources::Limits;
using vantrel::sources::RecordingReader;
using Status = RecordingReader::Status;

namespace {

constexpr std::uint64_t kLimit = std::uint64_t{64} << 10;

class CheckLines final : public vantrel::LineHandler {
 public:
  bool on_line(std::string_view line) override {
    FUZZ_CHECK(!line.empty());
    FUZZ_CHECK(line.find('\n') == std::string_view::npos);
    FUZZ_CHECK(vantrel::utf8::is_valid(line));
    FUZZ_CHECK(vantrel::utf8::trim(line).size() == line.size());
    bytes += line.size();
    return true;
  }
  std::uint64_t bytes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto reader =
      RecordingReader::from_memory({reinterpret_cast<const char*>(data), size}, Limits{kLimit});
  for (;;) {
    CheckLines lines;
    const Status status = reader.next(lines);
    FUZZ_CHECK(status != Status::kStopped);  // the handler never asks to stop
    FUZZ_CHECK(lines.bytes <= kLimit);
    FUZZ_CHECK(reader.bytes_read() <= size);
    const std::string& notice = reader.notice();
    FUZZ_CHECK(notice.empty() || status == Status::kRecording || status == Status::kEnd);
    FUZZ_CHECK(notice.empty() || notice.starts_with("bytes after the end of the "));
    if (status == Status::kEnd) break;
    if (status == Status::kFailed) {
      FUZZ_CHECK(!reader.error().empty());
      if (!reader.can_continue()) {
        // The failure stays: no recording comes out of a reader that gave up.
        FUZZ_CHECK(reader.next(lines) == Status::kFailed);
        break;
      }
    }
  }
  return 0;
}
