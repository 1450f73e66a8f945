#include "replay/load.hpp"

#include <charconv>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "base/platform.hpp"
#include "market/times.hpp"
#include "sources/recording_reader.hpp"

namespace vantrel::replay {

namespace {

// Long enough to recognise a text, short enough for one line of an error.
constexpr std::size_t kShownText = 40;

std::string shown(std::string_view text) {
  std::string out(text.substr(0, kShownText));
  if (text.size() > kShownText) out += "...";
  return out;
}

std::string at_line(std::uint64_t line, std::string_view what) {
  return "line " + std::to_string(line) + ": " + std::string(what);
}

std::string unreadable_time_text(std::uint64_t line, const UnreadableTime& bad) {
  return at_line(line, "market definition " + std::string(bad.key) + " \"" + shown(bad.text) +
                           "\" is not a time (YYYY-MM-DDTHH:MM:SS[.ffffff] and Z or an "
                           "offset +HH:MM)");
}

// A publish time as the line wrote it, near enough: numbers in their shortest form, texts
// quoted, containers by their brackets.
std::string shown_value(json::Value value) {
  switch (value.kind()) {
    case json::Kind::kNull:
      return "null";
    case json::Kind::kBool:
      return value.is_true() ? "true" : "false";
    case json::Kind::kString: {
      std::string quoted(1, '"');
      quoted += shown(value.as_string());
      quoted += '"';
      return quoted;
    }
    case json::Kind::kArray:
      return "[...]";
    case json::Kind::kObject:
      return "{...}";
    default:
      break;
  }
  if (const std::optional<std::int64_t> whole = value.as_int()) return std::to_string(*whole);
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, *value.as_double());
  return {text, written.ptr};
}

std::string refused_line_text(std::uint64_t line, const LineFault& fault) {
  if (fault.parse) {
    return at_line(line, std::string(json::error_text(fault.parse.code)) + " at column " +
                             std::to_string(fault.parse.column));
  }
  switch (fault.time_fault) {
    case TimeFault::kMissing:
      return at_line(line, "message has no publish time (\"pt\")");
    case TimeFault::kPastYear9999:
      return at_line(line, "publish time " + shown_value(fault.time) +
                               " is past the year 9999, the last a datetime holds");
    default:
      return at_line(line, "publish time " + shown_value(fault.time) +
                               " is not a positive whole number of milliseconds");
  }
}

}  // namespace

bool StoreLines::on_line(std::string_view line) {
  ++line_number_;
  text_bytes_ += line.size();
  const std::size_t before = store_.size();
  const LineFault fault = store_.add_line(
      line, for_package_ ? PublishTimes::kWholeMilliseconds : PublishTimes::kIntegersAboveZero);
  if (fault) {
    error_ = for_package_ ? refused_line_text(line_number_, fault) : fault.parse.message();
    return false;
  }
  if (store_.size() == before) return true;
  const ParsedMessage& message = store_.messages()[before];
  if (for_package_) {
    if (const std::optional<UnreadableTime> bad = unreadable_definition_time(message)) {
      error_ = unreadable_time_text(line_number_, *bad);
      return false;
    }
  }
  if (judge_ == nullptr) return true;
  switch (judge_->judge(message)) {
    case EarlyJudge::Verdict::kUndecided:
      return true;
    case EarlyJudge::Verdict::kKept:
      judge_ = nullptr;
      return true;
    case EarlyJudge::Verdict::kRuledOut:
      ruled_out_ = true;
      return false;
    case EarlyJudge::Verdict::kEnough:
      read_enough_ = true;
      return false;
  }
  return true;
}

bool StoreLines::keep_going() {
  if (keep_going_ == nullptr || keep_going_(context_)) return true;
  interrupted_ = true;
  return false;
}

LoadResult load_file(const std::string& path, StoreLines::KeepGoing keep_going, void* context) {
  LoadResult out;
  auto store = std::make_unique<MessageStore>();
  StoreLines lines(*store, keep_going, context);
  sources::RecordingReader reader =
      sources::RecordingReader::from_file_as(sources::format_named_by(path), path);
  const ReadResult result = sources::read_lone_recording(reader, lines);
  out.text_bytes = lines.text_bytes();
  switch (result.status) {
    case ReadStatus::kOk:
      store->finish();
      out.store = std::move(store);
      break;
    case ReadStatus::kFailed:
      out.error = result.message;
      break;
    case ReadStatus::kStopped:
      out.interrupted = lines.interrupted();
      if (!out.interrupted) out.error = lines.error();
      break;
  }
  return out;
}

void release_free_heap(std::size_t text_bytes) {
  constexpr std::size_t kWorthTrimming = std::size_t{16} << 20;
  if (text_bytes >= kWorthTrimming) base::trim_heap();
}

}  // namespace vantrel::replay
