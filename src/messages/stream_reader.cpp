#include "messages/stream_reader.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "base/platform.hpp"
#include "messages/line_splitter.hpp"
#include "sources/gzip.hpp"
#include "sources/os_error.hpp"
#include "sources/scratch.hpp"

namespace vantrel {
namespace {

constexpr std::size_t kPollInterval = std::size_t{4} << 20;

using sources::os_error_text;

ReadResult failed(std::string message) {
  return {ReadStatus::kFailed, std::move(message)};
}

class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// What read_some returns when the handler said stop.
constexpr ssize_t kReadStopped = -2;
// How long a wait for input goes before the handler is asked again.
constexpr int kWaitSliceMs = 100;

// read(2) that asks the handler whether to go on while it waits: Ctrl-C while a pipe has
// nothing to give stops the load then, not when more bytes come. A read interrupted by the
// signal would tell of it, but one that lands just before the read begins would not, so the
// wait is sliced. A regular file is always ready. -1 leaves errno set.
ssize_t read_some(int fd, void* buffer, std::size_t size, LineSplitter& splitter) {
  for (;;) {
    pollfd input{fd, POLLIN, 0};
    const int ready = ::poll(&input, 1, kWaitSliceMs);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
      if (!splitter.poll()) return kReadStopped;
      continue;
    }
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
    if (!splitter.poll()) return kReadStopped;
  }
}

ReadResult gzip_outcome(sources::gzip::Status status, LineSplitter& splitter) {
  if (status == sources::gzip::Status::kSinkStopped) return splitter.result();
  if (status != sources::gzip::Status::kOk) return failed(sources::gzip::status_text(status));
  if (!splitter.finish()) return splitter.result();
  return {};
}

ReadResult decode_gzip(std::string_view bytes, LineSplitter& splitter) {
  return gzip_outcome(sources::gzip::decode_members(bytes, splitter), splitter);
}

// The compressed file. A small one goes in a kept scratch buffer: mapping pages for it and
// handing them back would cost about as much as inflating it. A larger one has pages of its
// own, which go back to the system as the inflater finishes with them, so a load's peak holds
// little of the compressed file besides the text it decodes.
class InputPages {
 public:
  InputPages() = default;
  InputPages(const InputPages&) = delete;
  InputPages& operator=(const InputPages&) = delete;
  ~InputPages() {
    if (mapped_) base::unmap_pages(data_, capacity_);
  }

  // Room for at least `capacity` bytes, keeping what is there; false when out of memory.
  bool reserve(std::size_t capacity) {
    if (capacity <= capacity_) return true;
    if (capacity_ == 0 && capacity <= kScratchSize) {
      scratch_ = sources::ScratchBuffer(kScratchSize);
      data_ = reinterpret_cast<char*>(scratch_.data());
      capacity_ = kScratchSize;
      return true;
    }
    capacity = round_up(capacity);
    void* p = mapped_ ? base::remap_pages(data_, capacity_, capacity) : base::map_pages(capacity);
    if (p == nullptr) return false;
    if (!mapped_ && capacity_ != 0) std::memcpy(p, data_, capacity_);
    scratch_ = {};
    data_ = static_cast<char*>(p);
    capacity_ = capacity;
    mapped_ = true;
    return true;
  }

  char* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }

  // Hands back the whole pages that end a safe distance before `offset`.
  void release_before(std::size_t offset) {
    if (!mapped_ || offset < released_ + kReleaseStep + kKeepBehind) return;
    const std::size_t end = (offset - kKeepBehind) / page() * page();
    base::release_pages(data_ + released_, end - released_);
    released_ = end;
  }

 private:
  // The decoder input's size elsewhere, so the two share kept buffers.
  static constexpr std::size_t kScratchSize = std::size_t{64} << 10;
  static constexpr std::size_t kReleaseStep = std::size_t{256} << 10;
  static constexpr std::size_t kKeepBehind = std::size_t{64} << 10;
  static std::size_t page() { return base::page_size(); }
  static std::size_t round_up(std::size_t n) { return (n + page() - 1) / page() * page(); }

  sources::ScratchBuffer scratch_;
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
  bool mapped_ = false;
  std::size_t released_ = 0;
};

// Passes decoded text on to the splitter and lets the input go behind the decoder.
class ReleasingSink final : public sources::OutputSink {
 public:
  ReleasingSink(LineSplitter& splitter, InputPages& input) : splitter_(splitter), input_(input) {}
  std::span<unsigned char> space() override { return splitter_.space(); }
  bool commit(std::size_t n) override { return splitter_.commit(n); }
  void input_read(std::size_t offset) override { input_.release_before(offset); }

 private:
  LineSplitter& splitter_;
  InputPages& input_;
};

// Compressed files are read whole: the inflater then never waits on input and sees the member
// boundaries directly. The size from fstat is only a first guess; the file may change under us.
ReadResult read_whole_gzip(int fd, LineSplitter& splitter) {
  struct stat info {};
  std::size_t capacity = 1 << 16;
  if (::fstat(fd, &info) == 0 && info.st_size > 0) {
    capacity = static_cast<std::size_t>(info.st_size) + 1;
  }
  InputPages data;
  if (!data.reserve(capacity)) return failed(os_error_text(ENOMEM));
  std::size_t size = 0;
  std::size_t since_poll = 0;
  for (;;) {
    if (size == data.capacity() && !data.reserve(2 * data.capacity())) {
      return failed(os_error_text(ENOMEM));
    }
    const ssize_t n = read_some(fd, data.data() + size,
                                std::min(data.capacity() - size, kPollInterval), splitter);
    if (n == kReadStopped) return splitter.result();
    if (n < 0) return failed(os_error_text(errno));
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
    since_poll += static_cast<std::size_t>(n);
    if (since_poll >= kPollInterval) {
      since_poll = 0;
      if (!splitter.poll()) return splitter.result();
    }
  }
  ReleasingSink sink(splitter, data);
  return gzip_outcome(sources::gzip::decode_members({data.data(), size}, sink), splitter);
}

ReadResult read_plain(int fd, LineSplitter& splitter) {
  for (;;) {
    const std::span<unsigned char> space = splitter.space();
    const ssize_t n = read_some(fd, space.data(), space.size(), splitter);
    if (n == kReadStopped) return splitter.result();
    if (n < 0) return failed(os_error_text(errno));
    if (n == 0) break;
    if (!splitter.commit(static_cast<std::size_t>(n))) return splitter.result();
  }
  if (!splitter.finish()) return splitter.result();
  return {};
}

}  // namespace

bool is_gzip_path(std::string_view path) {
  // Trailing separators and "." components do not name anything new.
  for (;;) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    if (path.size() >= 2 && path.substr(path.size() - 2) == "/.") {
      path.remove_suffix(1);
      continue;
    }
    break;
  }
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name == "..") return false;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  const std::string_view extension = name.substr(dot + 1);
  return extension == "gz" || extension == "gzip";
}

ReadResult read_stream_lines(const std::string& path, LineHandler& handler) {
  try {
    const FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return failed(os_error_text(errno));
    LineSplitter splitter(handler);
    if (is_gzip_path(path)) return read_whole_gzip(file.get(), splitter);
    return read_plain(file.get(), splitter);
  } catch (const std::bad_alloc&) {
    return failed(os_error_text(ENOMEM));
  }
}

ReadResult read_buffer_lines(std::string_view bytes, bool gzip, LineHandler& handler) {
  try {
    LineSplitter splitter(handler);
    if (gzip) return decode_gzip(bytes, splitter);
    // Slices go through the same window as file reads, so both take the same path.
    while (!bytes.empty()) {
      const std::span<unsigned char> space = splitter.space();
      const std::size_t n = std::min(space.size(), bytes.size());
      std::memcpy(space.data(), bytes.data(), n);
      bytes.remove_prefix(n);
      if (!splitter.commit(n)) return splitter.result();
    }
    if (!splitter.finish()) return splitter.result();
    return {};
  } catch (const std::bad_alloc&) {
    return failed(os_error_text(ENOMEM));
  }
}

}  // namespace vantrel
