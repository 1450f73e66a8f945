// A main() for a fuzz target where libFuzzer is not to be had (a cross compiler, an emulator):
// runs the target once on each file named, as libFuzzer replays a saved input. A failed
// property aborts, naming the check; the file is named first.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "%s\n", argv[i]);
    // An empty input still gets a valid pointer, as libFuzzer gives it.
    static const std::uint8_t kNone = 0;
    LLVMFuzzerTestOneInput(
        bytes.empty() ? &kNone : reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%d inputs\n", argc - 1);
  return 0;
}
