// Helpers shared by the tests: a MessageBuffer filled from bytes through the
// same fill path a real file takes, and scratch directories.

#ifndef MAILVANE_TESTS_TEST_UTIL_H_
#define MAILVANE_TESTS_TEST_UTIL_H_

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "message/message_buffer.h"

// Loads `bytes` into `buffer` through loadFrom() on an in-memory stream.
inline void loadBytes(MessageBuffer& buffer, std::string_view bytes) {
  std::FILE* file = bytes.empty()
                        ? std::tmpfile()
                        : fmemopen(const_cast<char*>(bytes.data()),
                                   bytes.size(), "rb");
  buffer.loadFrom(file);
  std::fclose(file);
}

// A fresh empty directory under the system's temporary directory, removed
// with everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "mailvane-test-XXXXXX")
            .string();
    path_ = mkdtemp(pattern.data());
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes `bytes` to the file `name` inside the directory; returns its path.
  std::filesystem::path write(const std::string& name,
                              std::string_view bytes) const {
    std::filesystem::path file = path_ / name;
    std::FILE* out = std::fopen(file.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
    return file;
  }

 private:
  std::filesystem::path path_;
};

#endif  // MAILVANE_TESTS_TEST_UTIL_H_
