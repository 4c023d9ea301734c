// Writes the hostile inputs of tests/hostile/hostile_inputs.h into a
// directory for bench/hostile.sh, and prints their names.
//
// Usage: hostile_gen --list            prints every input's name
//        hostile_gen DIR [NAME...]     writes the named inputs (default: all)

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "hostile/hostile_inputs.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "Usage: hostile_gen --list | DIR [NAME...]\n");
    return 2;
  }
  std::vector<hostile::HostileInput> inputs = hostile::hostileInputs();
  for (hostile::HostileInput& input : hostile::regexLimitInputs()) {
    inputs.push_back(std::move(input));
  }
  const std::string first = argv[1];
  if (first == "--list") {
    for (const auto& input : inputs) std::printf("%s\n", input.name.c_str());
    return 0;
  }
  const std::filesystem::path dir = first;
  const std::vector<std::string> names(argv + 2, argv + argc);
  for (const auto& input : inputs) {
    if (!names.empty() &&
        std::find(names.begin(), names.end(), input.name) == names.end()) {
      continue;
    }
    hostile::ChunkWriter out(dir / input.name);
    input.write(out);
    out.close();
    if (!out.ok()) {
      std::fprintf(stderr, "cannot write %s\n", input.name.c_str());
      return 1;
    }
    std::printf("%s\n", input.name.c_str());
  }
  return 0;
}
