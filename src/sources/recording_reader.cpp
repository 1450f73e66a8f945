#include "sources/recording_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "sources/byte_stream.hpp"
#include "sources/format.hpp"
#include "sources/gzip.hpp"
#include "sources/line_splitter.hpp"
#include "sources/os_error.hpp"
#include "sources/tar.hpp"
#include "sources/tar_index.hpp"
#include "sources/zip.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/stat.h>
#endif

namespace vantrel::sources {
namespace {

using Status = RecordingReader::Status;

constexpr char kNestedArchive[] = "archive inside an archive is not opened";
constexpr char kCompressedZip[] = "zip archive inside a compressed file is not opened";
constexpr std::uint64_t kLeastZerosLimit = std::uint64_t{1} << 20;
constexpr char kOverlappingMember[] = "zip member overlaps the data of another member";

// iter_prices_file has never limited a file's size.
constexpr Limits kNoLimit{std::numeric_limits<std::uint64_t>::max()};

// How iter_prices_file names a damaged gzip file: more finely than the package's "invalid gzip
// data" and "truncated gzip data", in words its users have long matched on.
const char* named_fault_text(gzip::Fault fault) {
  switch (fault) {
    case gzip::Fault::kNone:
      return "";
    case gzip::Fault::kInvalidHeader:
      return "invalid gzip header";
    case gzip::Fault::kHeaderFieldTooLong:
      return "gzip header field too long";
    case gzip::Fault::kCorruptDeflate:
      return "corrupt deflate stream";
    case gzip::Fault::kChecksumMismatch:
      return "corrupt gzip stream does not have a matching checksum";
    case gzip::Fault::kUnexpectedEof:
      return "unexpected end of file";
  }
  return "";
}

std::string limit_text(std::uint64_t limit) {
  return "recording is larger than the limit of " + std::to_string(limit) + " bytes";
}

bool read_head(ByteStream& stream, std::vector<Byte>& head, std::string& error) {
  head.resize(kFormatHeadSize);
  std::size_t got = 0;
  if (!stream.read_full(head, got)) {
    error = stream.error();
    return false;
  }
  head.resize(got);
  return true;
}

constexpr char kReadFormats[] = "plain text, gzip, bzip2, zstd, xz, tar or zip";

// Refuses a head that cannot start a recording, naming what it is where its first bytes say so,
// rather than letting the line reader report invalid UTF-8 somewhere in binary data.
bool check_text(std::span<const Byte> head, std::string& error) {
  const char* foreign = foreign_format_name(head);
  if (foreign == nullptr && looks_like_text(head)) return true;
  error = "not a recording: ";
  error += foreign != nullptr ? std::string(foreign) + " data"
                              : "neither text nor a supported compression";
  error += std::string(" (recordings are ") + kReadFormats + ")";
  return false;
}

// Bytes after a compressed recording's data that are neither another stream of it nor zero
// padding: appended by something else, or what is left of a longer stream that another was
// written over (an archive member overwritten in place keeps its old size). The recording
// is read up to them; what they were is not ours to guess.
std::string trailing_text(Format compression, std::uint64_t at) {
  return std::string("bytes after the end of the ") + format_name(compression) +
         " data, from byte " + std::to_string(at);
}

// Text read on from past a byte-order mark: it is no part of the first line's JSON.
std::span<const Byte> past_mark(std::span<const Byte> head) {
  return head.subspan(byte_order_mark_size(head));
}

// The bytes of a file or member after the compression its first bytes show, with a look at
// what they hold in turn. Only one layer is taken off: a compressed file inside a compressed
// file is not something recorders write.
class Content {
 public:
  bool open(ByteStream& raw, std::string& error) {
    std::vector<Byte> head;
    if (!read_head(raw, head, error)) return false;
    compression_ = detect_format(head);
    if (!is_compressed(compression_)) {
      inner_ = compression_;
      compression_ = Format::kPlain;
      if (inner_ == Format::kPlain && !check_text(head, error)) return false;
      raw_ = std::make_unique<PrefixedStream>(past_mark(head), raw);
      return true;
    }
    raw_ = std::make_unique<PrefixedStream>(head, raw);
    std::unique_ptr<Codec> codec = make_codec(compression_);
    if (!codec) {
      error = missing_support_text(compression_);
      return false;
    }
    decoder_ =
        std::make_unique<DecodingStream>(*raw_, std::move(codec), DecodingStream::AfterEnd::kFound);
    if (!read_head(*decoder_, head, error)) return false;
    // What a codec gives is not checked as text: damaged data decodes to garbage before the
    // codec can tell, and its own error says more.
    inner_ = detect_format(head);
    decoded_ = std::make_unique<PrefixedStream>(past_mark(head), *decoder_);
    return true;
  }

  Format compression() const { return compression_; }
  // What the bytes are once decompressed: plain text, or an archive.
  Format inner() const { return inner_; }
  ByteStream& stream() { return decoded_ ? *decoded_ : *raw_; }
  // Once stream() has ended: what follows the compressed data, as a notice; "" for nothing.
  std::string trailing_notice() const {
    const std::optional<std::uint64_t> at = decoder_ ? decoder_->trailing_at() : std::nullopt;
    return at ? trailing_text(compression_, *at) : std::string();
  }

 private:
  Format compression_ = Format::kPlain;
  Format inner_ = Format::kPlain;
  std::unique_ptr<PrefixedStream> raw_;
  std::unique_ptr<DecodingStream> decoder_;
  std::unique_ptr<PrefixedStream> decoded_;
};

}  // namespace

class RecordingReader::Impl {
 public:
  // `taken_as`: the format of a lone recording whose content is not looked at.
  Impl(std::unique_ptr<Input> input, Limits limits, std::optional<Format> taken_as = {})
      : input_(std::move(input)), limits_(limits), taken_as_(taken_as) {}

  Status next(LineHandler& handler) {
    handler_ = &handler;
    if (mode_ != Mode::kBroken) error_.clear();
    notice_.clear();
    if (!splitter_) {
      splitter_.emplace(handler);
    } else {
      splitter_->restart(handler);
    }
    try {
      return next_recording();
    } catch (const std::bad_alloc&) {
      return broken(os_error_text(ENOMEM));
    }
  }

  // A reader of one member alone (see split_archive): the walk starts at the member's headers
  // as it would have got there through the whole file.
  void start_member(const ArchiveMember& member) {
    if (input_->failed()) {
      broken(input_->error());
    } else if (member.zip) {
      zip_entries_.assign(1, *member.zip);
      mode_ = Mode::kZip;
    } else {
      window_ = std::make_unique<RangeStream>(*input_, member.start, member.end - member.start);
      tar_.emplace(*window_, std::max(limits_.max_recording_bytes, kLeastZerosLimit));
      window_start_ = member.start;
      mode_ = Mode::kTar;
    }
  }

  // Asked while a read waits for input, for a recording taken by its name: its handler decides,
  // as it decides between reads.
  bool keep_waiting() { return !splitter_ || splitter_->poll(); }

  std::string member_;
  std::optional<StoredBytes> stored_;
  std::string error_;
  std::string notice_;
  bool can_continue_ = false;
  LineHandler* handler_ = nullptr;  // of the read in progress
  std::unique_ptr<Input> input_;

 private:
  enum class Mode { kStart, kLone, kTar, kZip, kDone, kBroken };

  Status next_recording() {
    stored_.reset();
    if (mode_ == Mode::kStart) open();
    switch (mode_) {
      case Mode::kStart:
      case Mode::kBroken:
        return Status::kFailed;
      case Mode::kDone:
        return Status::kEnd;
      case Mode::kLone:
        mode_ = Mode::kDone;
        can_continue_ = false;
        // A FIFO or device has no size to tell (it reads as 0); a file taken by its name is
        // iter_prices_file's, which asks nothing of where its bytes lie.
        if (std::uint64_t size = 0; !taken_as_ && input_->size(size) && size > 0) {
          stored_ = StoredBytes{0, size};
        }
        return finish_recording(read_content(top_, *lone_), false);
      case Mode::kTar:
        return next_tar_member();
      case Mode::kZip:
        return next_zip_member();
    }
    return Status::kEnd;
  }

  // Tells what the input is, and sets the mode accordingly.
  // A zip is found by the directory at its end, as unzip finds it, when its first bytes no
  // longer say so: wiped (they read as zeros) or damaged (they read as no format at all).
  // `wiped`: only when the first block is all zeros.
  bool open_zip_by_directory(bool wiped) {
    std::uint64_t size = 0;
    if (!input_->size(size)) return false;
    if (wiped) {
      Byte first[kFormatHeadSize];
      std::size_t got = 0;
      if (!input_->read_at(0, first, got) || got != sizeof first ||
          std::any_of(first, first + got, [](Byte c) { return c != 0; })) {
        return false;
      }
    }
    std::string ignored;
    std::vector<ZipEntry> entries;
    if (!read_zip_directory(*input_, entries, ignored) || entries.empty()) return false;
    zip_entries_ = std::move(entries);
    mode_ = Mode::kZip;
    return true;
  }

  void open() {
    std::string error;
    if (input_->failed()) {
      broken(input_->error());
    } else if (taken_as_) {
      open_as(*taken_as_);
    } else if (!top_.open(*input_, error)) {
      if (!open_zip_by_directory(false)) broken(std::move(error));
    } else if (top_.inner() == Format::kTar && top_.compression() == Format::kPlain &&
               open_zip_by_directory(true)) {
      // a zip whose first block was wiped
    } else if (top_.inner() == Format::kZip) {
      if (top_.compression() != Format::kPlain) {
        broken(kCompressedZip);
      } else if (!read_zip_directory(*input_, zip_entries_, error)) {
        broken(std::move(error));
      } else {
        mode_ = Mode::kZip;
      }
    } else if (top_.inner() == Format::kTar) {
      // Never below a megabyte: a writer pads the end to its record size, and a small limit
      // must not turn that padding into an error.
      tar_.emplace(top_.stream(), std::max(limits_.max_recording_bytes, kLeastZerosLimit));
      mode_ = Mode::kTar;
    } else {
      lone_ = &top_.stream();
      mode_ = Mode::kLone;
    }
  }

  // The input itself, or the gzip members it is taken to hold, whatever its first bytes say.
  void open_as(Format format) {
    lone_ = input_.get();
    if (format == Format::kGzip) {
      taken_decoder_ = std::make_unique<DecodingStream>(*input_, gzip::make_codec(gzip_fault_));
      lone_ = taken_decoder_.get();
    }
    mode_ = Mode::kLone;
  }

  Status next_tar_member() {
    do {
      member_.clear();
      if (!tar_->next()) {
        if (tar_->error().empty()) {
          mode_ = Mode::kDone;
          notice_ = top_.trailing_notice();  // of a compressed tar as a whole
          return Status::kEnd;
        }
        if (tar_->lost_member()) {
          error_ = tar_->error();
          can_continue_ = true;
          return Status::kFailed;
        }
        return broken(tar_->error());
      }
      member_ = tar_->path();
    } while (!handler_->on_recording(member_));  // the walk moves past a member's data unread
    if (top_.compression() == Format::kPlain)
      stored_ = StoredBytes{window_start_ + tar_->data_start(), tar_->size()};
    const ReadResult result = read_member(tar_->data());
    return finish_recording(result, tar_->intact());
  }

  Status next_zip_member() {
    do {
      member_.clear();
      if (zip_next_ == zip_entries_.size()) {
        mode_ = Mode::kDone;
        return Status::kEnd;
      }
      member_ = zip_entries_[zip_next_++].path;
    } while (!handler_->on_recording(member_));
    const ZipEntry& entry = zip_entries_[zip_next_ - 1];
    ReadResult result;
    ZipMemberStream data;
    std::string error;
    if (entry.overlaps) {
      result = failed(kOverlappingMember);
    } else if (entry.size > limits_.max_recording_bytes) {
      result = failed(limit_text(limits_.max_recording_bytes));
    } else if (!data.open(*input_, entry, error)) {
      result = failed(std::move(error));
    } else {
      stored_ = StoredBytes{data.data_offset(), entry.compressed_size};
      result = read_member(data.stream());
    }
    return finish_recording(result, !input_->failed());
  }

  // A member's bytes through its own decompression into the lines; members that are archives
  // themselves are refused rather than walked.
  ReadResult read_member(ByteStream& raw) {
    Content content;
    std::string error;
    if (!content.open(raw, error)) return failed(std::move(error));
    if (is_archive(content.inner())) return failed(kNestedArchive);
    return read_content(content, content.stream());
  }

  // Every line of `stream`, which reads `content`, and what followed its compressed data.
  ReadResult read_content(const Content& content, ByteStream& stream) {
    ReadResult result = pump(stream);
    if (result.status == ReadStatus::kOk) notice_ = content.trailing_notice();
    return result;
  }

  // Reads straight into the line window; one byte past the limit is enough to know it is passed.
  ReadResult pump(ByteStream& stream) {
    LineSplitter& splitter = *splitter_;
    const std::uint64_t limit = limits_.max_recording_bytes;
    std::uint64_t total = 0;
    for (;;) {
      const std::span<Byte> space = splitter.space();
      const std::uint64_t room = limit - total;
      const std::size_t want =
          room < space.size() ? static_cast<std::size_t>(room) + 1 : space.size();
      std::size_t got = 0;
      if (!stream.read(space.first(want), got)) return read_failure(stream);
      if (got == 0) break;
      if (got > room) return failed(limit_text(limit));
      total += got;
      if (!splitter.commit(got)) return splitter.result();
    }
    if (!splitter.finish()) return splitter.result();
    return {};
  }

  // The handler's stop when a wait asked it, else the stream's own fault: gzip's as
  // iter_prices_file names it when the file was taken to be gzip.
  ReadResult read_failure(const ByteStream& stream) const {
    if (splitter_->stopped()) return splitter_->result();
    if (gzip_fault_ != gzip::Fault::kNone) return failed(named_fault_text(gzip_fault_));
    return failed(stream.error());
  }

  // `can_go_on`: whether there may be more recordings after this one, whatever became of it.
  Status finish_recording(const ReadResult& result, bool can_go_on) {
    can_continue_ = can_go_on;
    if (!can_go_on && result.status == ReadStatus::kFailed) mode_ = Mode::kBroken;
    switch (result.status) {
      case ReadStatus::kOk:
        return Status::kRecording;
      case ReadStatus::kStopped:
        return Status::kStopped;
      case ReadStatus::kFailed:
        error_ = result.message;
        return Status::kFailed;
    }
    return Status::kFailed;
  }

  Status broken(std::string error) {
    member_.clear();
    error_ = std::move(error);
    can_continue_ = false;
    mode_ = Mode::kBroken;
    return Status::kFailed;
  }

  static ReadResult failed(std::string text) { return {ReadStatus::kFailed, std::move(text)}; }

  Limits limits_;
  std::optional<Format> taken_as_;
  Mode mode_ = Mode::kStart;
  std::optional<LineSplitter> splitter_;
  Content top_;
  // What a lone recording is read from: the content, or the input taken as a format.
  ByteStream* lone_ = nullptr;
  std::unique_ptr<DecodingStream> taken_decoder_;
  gzip::Fault gzip_fault_ = gzip::Fault::kNone;
  std::optional<TarReader> tar_;
  // The bytes of one tar member read alone, and where they begin in the file.
  std::unique_ptr<RangeStream> window_;
  std::uint64_t window_start_ = 0;
  std::vector<ZipEntry> zip_entries_;
  std::size_t zip_next_ = 0;
};

RecordingReader::RecordingReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RecordingReader::RecordingReader(RecordingReader&&) noexcept = default;
RecordingReader& RecordingReader::operator=(RecordingReader&&) noexcept = default;
RecordingReader::~RecordingReader() = default;

RecordingReader RecordingReader::from_file(std::string path, Limits limits,
                                           const std::atomic<bool>* cancelled) {
  std::function<bool()> keep_waiting;
  if (cancelled != nullptr) {
    keep_waiting = [cancelled] { return !cancelled->load(std::memory_order_relaxed); };
  }
  return RecordingReader(
      std::make_unique<Impl>(Input::open_file(path, std::move(keep_waiting)), limits));
}

RecordingReader RecordingReader::from_member(const std::string& path, const ArchiveMember& member,
                                             Limits limits, const std::atomic<bool>* cancelled) {
  RecordingReader reader = from_file(path, limits, cancelled);
  reader.impl_->start_member(member);
  return reader;
}

namespace {

bool regular_file(const std::string& path) {
#if defined(__unix__) || defined(__APPLE__)
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
#else
  static_cast<void>(path);
  return false;  // read whole: nothing is lost but speed
#endif
}

}  // namespace

bool split_archive(const std::string& path, std::vector<ArchiveMember>& members, Limits limits) {
  members.clear();
  if (!regular_file(path)) return false;
  std::unique_ptr<Input> input = Input::open_file(path);
  std::uint64_t size = 0;
  std::vector<Byte> head(kFormatHeadSize);
  std::size_t got = 0;
  if (input->failed() || !input->size(size) || !input->read_at(0, head, got)) return false;
  head.resize(got);
  const Format format = detect_format(head);
  if (format == Format::kZip) {
    std::vector<ZipEntry> entries;
    std::string error;
    if (!read_zip_directory(*input, entries, error)) return false;
    for (ZipEntry& entry : entries) {
      std::string name = entry.path;
      members.push_back({std::move(name), 0, 0, std::move(entry)});
    }
    return true;
  }
  // A first block of zeros may be a zip's, wiped: the whole file's reader decides.
  if (format != Format::kTar ||
      std::all_of(head.begin(), head.end(), [](Byte c) { return c == 0; }))
    return false;
  std::vector<TarIndexEntry> entries;
  std::string error;
  if (index_plain_tar(path, entries, error) != TarIndexStatus::kIndexed) return false;
  // The end of the file as a walk reads it: data cut short, or more zeros after the last member
  // than the whole file's reader takes for an end, fail there; only it can say so in place.
  const std::uint64_t last_end = entries.empty() ? 0 : entries.back().data_end;
  if (last_end > size || size - last_end > std::max(limits.max_recording_bytes, kLeastZerosLimit)) {
    return false;
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i].starts_tar) {
      members.clear();
      return false;
    }
    const std::uint64_t end = i + 1 < entries.size() ? entries[i + 1].start : size;
    members.push_back({std::move(entries[i].path), entries[i].start, end, {}});
  }
  return true;
}

RecordingReader RecordingReader::from_memory(std::string_view bytes, Limits limits) {
  return RecordingReader(std::make_unique<Impl>(Input::memory(bytes), limits));
}

RecordingReader RecordingReader::from_file_as(Format format, const std::string& path) {
  auto impl = std::make_unique<Impl>(nullptr, kNoLimit, format);
  Impl& reader = *impl;
  impl->input_ = Input::open_file(
      path, [&reader] { return reader.keep_waiting(); }, Input::Ask::kOnceWaiting);
  return RecordingReader(std::move(impl));
}

RecordingReader RecordingReader::from_memory_as(Format format, std::string_view bytes) {
  return RecordingReader(std::make_unique<Impl>(Input::memory(bytes), kNoLimit, format));
}

RecordingReader::Status RecordingReader::next(LineHandler& handler) {
  return impl_->next(handler);
}
const std::string& RecordingReader::member() const {
  return impl_->member_;
}
std::optional<StoredBytes> RecordingReader::stored_bytes() const {
  return impl_->stored_;
}
const std::string& RecordingReader::error() const {
  return impl_->error_;
}
const std::string& RecordingReader::notice() const {
  return impl_->notice_;
}
bool RecordingReader::can_continue() const {
  return impl_->can_continue_;
}
std::uint64_t RecordingReader::bytes_read() const {
  return impl_->input_->bytes_read();
}

ReadResult read_lone_recording(RecordingReader& reader, LineHandler& handler) {
  switch (reader.next(handler)) {
    case RecordingReader::Status::kRecording:
    case RecordingReader::Status::kEnd:
      break;
    case RecordingReader::Status::kFailed:
      return {ReadStatus::kFailed, reader.error()};
    case RecordingReader::Status::kStopped:
      return {ReadStatus::kStopped, {}};
  }
  return {};
}

ReadResult read_buffer_lines(std::string_view bytes, Format format, LineHandler& handler) {
  RecordingReader reader = RecordingReader::from_memory_as(format, bytes);
  return read_lone_recording(reader, handler);
}

}  // namespace vantrel::sources
