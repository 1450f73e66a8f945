// Decodes bzip2 files with libbz2 and with our decoder, one after the other in turns, and
// prints the CPU seconds of each (the best of the turns) as one JSON object per file.
//
//   bzip2_decode [--repeat N] FILE...
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "sources/bzip2_decoder.hpp"

using namespace vantrel::sources;

namespace {

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The whole input at once, output in pieces as the reader takes it; the text's size, or -1
// when the codec does not finish.
long long decode(Codec& codec, const std::vector<Byte>& in, std::vector<Byte>& out) {
  std::size_t at = 0;
  long long total = 0;
  for (;;) {
    const CodecStep step = codec.run({in.data() + at, in.size() - at}, true, out);
    at += step.consumed;
    total += static_cast<long long>(step.produced);
    if (step.result == CodecResult::kEnd) return total;
    if (step.result != CodecResult::kMore) return -1;
    if (step.consumed == 0 && step.produced == 0) return -1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 3;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else {
      files.emplace_back(arg);
    }
  }
  if (files.empty() || repeat < 1 || !make_bzip2_decoder()) {
    std::fprintf(stderr, "usage: bzip2_decode [--repeat N] FILE... (a build with the decoder)\n");
    return 2;
  }
  std::vector<Byte> out(std::size_t{256} << 10);
  for (const std::string& file : files) {
    std::ifstream stream(file, std::ios::binary);
    const std::vector<Byte> in{std::istreambuf_iterator<char>(stream),
                               std::istreambuf_iterator<char>()};
    double best[2] = {1e300, 1e300};
    long long sizes[2] = {0, 0};
    const auto handed = bzip2::blocks_handed_to_libbz2();
    for (int r = 0; r < repeat; ++r) {
      for (int which = 0; which < 2; ++which) {
        auto codec = which == 0 ? make_libbz2_codec(false) : make_bzip2_decoder();
        const double start = cpu_seconds();
        sizes[which] = decode(*codec, in, out);
        best[which] = std::min(best[which], cpu_seconds() - start);
      }
    }
    std::printf(
        "{\"file\": \"%s\", \"compressed\": %zu, \"text\": %lld, \"libbz2\": %.6f, "
        "\"ours\": %.6f, \"same_size\": %s, \"handed_to_libbz2\": %llu}\n",
        file.c_str(), in.size(), sizes[0], best[0], best[1], sizes[0] == sizes[1] ? "true" : "false",
        static_cast<unsigned long long>(bzip2::blocks_handed_to_libbz2() - handed));
  }
  return 0;
}
