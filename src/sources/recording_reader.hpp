// Recordings out of whatever the user holds: a lone file, plain or compressed, or a tar or zip
// archive of them (a tar possibly compressed as a whole). Formats are told by content, never by
// name, but for the compatible module's reader, which takes a lone file to be what its name says
// (from_file_as). Each call to next() reads one recording and hands its lines to a LineHandler.
//
// Memory stays near one member's decoding state plus the line window: archives are read as
// streams (zip members at their offsets), and nothing of a member is kept once it is read. No
// globals: a reader may live on any one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sources/format.hpp"
#include "sources/line_handler.hpp"
#include "sources/zip.hpp"

namespace vantrel::sources {

struct Limits {
  // Decoded bytes one recording may take; past this it fails, and a zip member that declares
  // more fails before it is decoded.
  std::uint64_t max_recording_bytes = std::uint64_t{4} << 30;
};

// Where a recording's stored bytes (compressed as it was stored) lie in the file or memory the
// reader was given, so that they can be read back alone with one seek.
struct StoredBytes {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// One member of an archive file that can be read apart from the others: its path as stored,
// and where a reader of it alone starts. For a plain tar, the bytes from `start` (where the walk
// to it begins) to `end` hold its headers, data and padding; for a zip, `zip` is its entry.
struct ArchiveMember {
  std::string path;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::optional<ZipEntry> zip;
};

// The members of a regular file that is an uncompressed tar walked to its end without damage,
// or a zip whose directory reads, in the order a RecordingReader of the whole file meets them,
// so that reading them one by one (RecordingReader::from_member) gives the same recordings,
// names, offsets and errors. False for anything else, which is read whole: a lone recording, a
// compressed tar, a FIFO, a damaged archive (its damage must stop it where it stops the walk).
// `limits` are those of the reader of the whole file.
bool split_archive(const std::string& path, std::vector<ArchiveMember>& members,
                   Limits limits = {});

class RecordingReader {
 public:
  enum class Status {
    kRecording,  // a recording was read whole; member() names it
    kEnd,        // nothing more to read
    kFailed,     // error() says why; can_continue() says whether next() can go on
    kStopped,    // the handler said stop (on_line or keep_going returned false)
  };

  // An error opening the file is reported by the first next(). `cancelled`, when given, stops a
  // wait on a FIFO or device that has nothing to give (see Input::open_file).
  static RecordingReader from_file(std::string path, Limits limits = {},
                                   const std::atomic<bool>* cancelled = nullptr);
  // `bytes` must stay alive and unchanged as long as the reader.
  static RecordingReader from_memory(std::string_view bytes, Limits limits = {});
  // One member of the archive file at `path`, as split_archive found it: next() reads it, under
  // the name and at the offsets a reader of the whole file would give.
  static RecordingReader from_member(const std::string& path, const ArchiveMember& member,
                                     Limits limits = {},
                                     const std::atomic<bool>* cancelled = nullptr);

  // One recording taken to be `format` (kPlain or kGzip) without a look at its content, as
  // iter_prices_file takes a file by its name (format_named_by): never an archive, a byte-order
  // mark is text like any other, there is no size limit, and failures read as that module has
  // always named them. A wait for input asks the handler's keep_going().
  static RecordingReader from_file_as(Format format, const std::string& path);
  static RecordingReader from_memory_as(Format format, std::string_view bytes);

  RecordingReader(RecordingReader&&) noexcept;
  RecordingReader& operator=(RecordingReader&&) noexcept;
  ~RecordingReader();

  // Reads the next recording, handing every non-blank trimmed line to `handler` (text that is
  // not UTF-8 fails it, keep_going() is polled every few MB). After kFailed or kStopped, a
  // further call goes on with the next member when can_continue().
  Status next(LineHandler& handler);

  // The archive path of the recording last read or failed on (as the archive stores it: not
  // necessarily UTF-8); "" for a lone file and for failures of the archive itself.
  const std::string& member() const;
  // The stored bytes of the recording last read or stopped: a lone file's whole input, a zip
  // member's data, a plain tar's member. None for a member of a compressed tar, which has no
  // place of its own in the input.
  std::optional<StoredBytes> stored_bytes() const;
  // The text of the last kFailed.
  const std::string& error() const;
  // After kRecording, what was read past: bytes after the end of its compressed data that are
  // neither another stream of it nor zeros, which the recording is read up to. After kEnd, the
  // same of a compressed tar as a whole. "" when there was nothing; a file taken by its name
  // never has one.
  const std::string& notice() const;
  // After kFailed or kStopped: whether the archive around the member is intact, so that next()
  // can go on to the next member. False for a lone file and for damage to the archive itself.
  bool can_continue() const;
  // How far into the file or memory given the reader has got, in its own (compressed) bytes,
  // for progress; for a zip, the end of the furthest member data read.
  std::uint64_t bytes_read() const;

 private:
  class Impl;
  explicit RecordingReader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Reads the one recording of a reader made by from_file_as() or from_memory_as(), and tells how
// the read ended.
ReadResult read_lone_recording(RecordingReader& reader, LineHandler& handler);

// The bytes of a file taken to be `format`, read as iter_prices_file reads the file: for tests
// and fuzzers.
ReadResult read_buffer_lines(std::string_view bytes, Format format, LineHandler& handler);

}  // namespace vantrel::sources
