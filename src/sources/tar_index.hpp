// The regular files of an uncompressed tar and where the walk to each begins, found by the very
// TarReader that reads the archive, so that a cut between two members lands where that reader
// would be. Member data is stepped over by seeking, not read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::sources {

struct TarIndexEntry {
  std::uint64_t start;  // TarReader::entry_start() of the member
  std::uint64_t size;   // its data's bytes
  std::string path;     // as the archive stores it: not necessarily UTF-8
  // Whether the bytes from `start` on are told as a tar on their own: the block there is a
  // ustar or GNU header. An old V7 header, read fine in the middle of an archive, is not.
  bool starts_tar;
  // Where its data would end. The walk steps over data without reading it, so a file cut
  // short within the last member's data walks without fault: this is how to tell.
  std::uint64_t data_end;
};

enum class TarIndexStatus {
  kIndexed,      // `entries` holds every regular file, in archive order
  kNotPlainTar,  // the file is no tar, or a compressed one (which cannot be entered midway)
  kFailed,       // the walk met damage (`error` says what), or the file could not be read
};

TarIndexStatus index_plain_tar(const std::string& path, std::vector<TarIndexEntry>& entries,
                               std::string& error);

}  // namespace vantrel::sources
