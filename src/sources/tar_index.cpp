#include "sources/tar_index.hpp"

#include <algorithm>
#include <memory>

#include "sources/byte_stream.hpp"
#include "sources/format.hpp"
#include "sources/tar.hpp"

namespace vantrel::sources {
namespace {

// A file read forwards at an offset of its own, which skip() moves without reading; a skip
// past the end stops there, as a read would.
class SeekingStream final : public ByteStream {
 public:
  SeekingStream(Input& input, std::uint64_t size) : input_(input), size_(size) {}

  bool read(std::span<Byte> out, std::size_t& got) override {
    got = 0;
    if (failed()) return false;
    if (!input_.read_at(offset_, out, got)) return fail(input_.error());
    offset_ += got;
    return true;
  }

  bool skip(std::uint64_t count, std::uint64_t& skipped) override {
    skipped = offset_ < size_ ? std::min(count, size_ - offset_) : 0;
    offset_ += skipped;
    return !failed();
  }

 private:
  Input& input_;
  std::uint64_t size_;
  std::uint64_t offset_ = 0;
};

}  // namespace

TarIndexStatus index_plain_tar(const std::string& path, std::vector<TarIndexEntry>& entries,
                               std::string& error) {
  entries.clear();
  std::unique_ptr<Input> input = Input::open_file(path);
  std::uint64_t size = 0;
  if (input->failed() || !input->size(size)) {
    error = input->error();
    return TarIndexStatus::kFailed;
  }
  std::vector<Byte> head(kFormatHeadSize);
  std::size_t got = 0;
  if (!input->read_at(0, head, got)) {
    error = input->error();
    return TarIndexStatus::kFailed;
  }
  if (detect_format(std::span<const Byte>(head).first(got)) != Format::kTar) {
    return TarIndexStatus::kNotPlainTar;
  }
  SeekingStream stream(*input, size);
  TarReader tar(stream);
  while (tar.next()) {
    if (!input->read_at(tar.entry_start(), head, got)) break;
    const bool starts_tar = detect_format(std::span<const Byte>(head).first(got)) == Format::kTar;
    entries.push_back(
        {tar.entry_start(), tar.size(), tar.path(), starts_tar, tar.data_start() + tar.size()});
  }
  if (input->failed()) {
    error = input->error();
    return TarIndexStatus::kFailed;
  }
  if (!tar.error().empty()) {
    error = tar.error();
    return TarIndexStatus::kFailed;
  }
  return TarIndexStatus::kIndexed;
}

}  // namespace vantrel::sources
