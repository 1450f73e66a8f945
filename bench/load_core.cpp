// Loads recordings with the core alone, as iter_prices_file does before any Python object is
// made, and prints the text rate of each. Small enough to run under callgrind, where the
// instruction count of one load divided by the text size gives instructions per byte.
//
//   load_core [--repeat N] [--path scalar|plain] [--parse-only] FILE...
//
// --parse-only reads the whole text first and times only the parser over its lines (no file
// reading, inflating, line splitting or message store), for the parser's own rate.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "messages/parser.hpp"
#include "replay/load.hpp"

using namespace vantrel;

namespace {

struct Options {
  int repeat = 1;
  bool parse_only = false;
  std::optional<json::ParserPath> path;
  std::vector<std::string> files;
};

bool parse_options(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--repeat" && i + 1 < argc) {
      options.repeat = std::atoi(argv[++i]);
    } else if (arg == "--path" && i + 1 < argc) {
      options.path = json::parser_path_named(argv[++i]);
      if (!options.path) return false;
    } else if (arg == "--parse-only") {
      options.parse_only = true;
    } else if (arg.starts_with("--")) {
      return false;
    } else {
      options.files.emplace_back(arg);
    }
  }
  return !options.files.empty() && options.repeat > 0;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The whole load, as the module runs it: bytes of text and the best of `repeat` times.
bool time_load(const std::string& file, int repeat, std::size_t& bytes, double& best) {
  for (int r = 0; r < repeat; ++r) {
    const auto start = std::chrono::steady_clock::now();
    replay::LoadResult result = replay::load_file(file);
    const double t = seconds_since(start);
    if (!result.ok()) {
      std::fprintf(stderr, "%s: %s\n", file.c_str(), result.error.c_str());
      return false;
    }
    bytes = result.text_bytes;
    if (r == 0 || t < best) best = t;
  }
  return true;
}

std::vector<std::string_view> split_lines(const std::string& text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.emplace_back(text.data() + start, end - start);
    start = end + 1;
  }
  return lines;
}

// The parser alone over the lines of a plain text file.
bool time_parse(const std::string& file, json::ParserPath path, int repeat, std::size_t& bytes,
                double& best) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  std::string text(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  const std::vector<std::string_view> lines = split_lines(text);
  json::Parser parser(path);
  for (int r = 0; r < repeat; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (const std::string_view line : lines) {
      if (const json::ParseError err = parser.parse(line)) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(), err.message().c_str());
        return false;
      }
    }
    const double t = seconds_since(start);
    if (r == 0 || t < best) best = t;
  }
  bytes = text.size();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse_options(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: load_core [--repeat N] [--path scalar|plain] [--parse-only] "
                 "FILE...\n");
    return 2;
  }
  const json::ParserPath path = options.path.value_or(json::default_parser_path());
  for (const std::string& file : options.files) {
    std::size_t bytes = 0;
    double best = 0;
    const bool ok = options.parse_only ? time_parse(file, path, options.repeat, bytes, best)
                                       : time_load(file, options.repeat, bytes, best);
    if (!ok) return 1;
    std::printf("%s\t%s\t%zu bytes\t%.3f ms\t%.1f MB/s\n", file.c_str(),
                options.parse_only ? std::string(json::parser_path_name(path)).c_str() : "load",
                bytes, best * 1e3, static_cast<double>(bytes) / best / 1e6);
  }
  return 0;
}
