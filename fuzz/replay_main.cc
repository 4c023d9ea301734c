// A plain main for a fuzz target when it is built without libFuzzer: it runs
// the target once on every file named on the command line, descending into
// directories (in sorted order, so a failure names the same file each time).
//
// Usage: fuzz_X_replay [--skip-if-missing] PATH...
// Exit status: 0 when every input went through; 1 when a path is missing; 77
// (the "skipped" status of the test) when a path is missing and
// --skip-if-missing was given. A failed check or a sanitizer report aborts.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

constexpr int kSkipped = 77;

std::vector<std::filesystem::path> filesUnder(
    const std::filesystem::path& path) {
  std::vector<std::filesystem::path> files;
  if (!std::filesystem::is_directory(path)) {
    files.push_back(path);
    return files;
  }
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(path)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
  bool isSkipIfMissing = false;
  std::vector<std::filesystem::path> roots;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--skip-if-missing") {
      isSkipIfMissing = true;
    } else {
      roots.emplace_back(arg);
    }
  }
  for (const auto& root : roots) {
    if (!std::filesystem::exists(root)) {
      std::printf("%s: not found%s\n", root.c_str(),
                  isSkipIfMissing ? ", skipped" : "");
      return isSkipIfMissing ? kSkipped : 1;
    }
  }
  size_t count = 0;
  for (const auto& root : roots) {
    for (const auto& file : filesUnder(root)) {
      std::string bytes = readBytes(file);
      std::fprintf(stderr, "%s\n", file.c_str());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()),
                             bytes.size());
      ++count;
    }
  }
  std::printf("%zu inputs replayed\n", count);
  return 0;
}
