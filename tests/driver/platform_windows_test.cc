// The Windows side of the system layer: path rules, the output file held
// without sharing, and the "FileVersion" lookup in version resources (the
// test binary carries records 2 to 6 besides the program's record 1).

#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "driver/platform.h"
#include "driver/run.h"
#include "driver/version.h"
#include "test_util.h"

namespace {

TEST(WindowsPathTest, NamesFollowTheLastBackslashThenSlashThenColon) {
  const std::pair<const char*, const char*> cases[] = {
      {"mail\\a.eml", "a.eml"},
      {"mail/a.eml", "a.eml"},
      {"D:\\mail\\a.eml", "a.eml"},
      {"D:a.eml", "a.eml"},
      {"D:mail/a.eml", "a.eml"},
      {"mail/sub\\a.eml", "a.eml"},
      // A "\\" anywhere wins over a later "/".
      {"mail\\sub/a.eml", "sub/a.eml"},
      {"a.eml", "a.eml"},
      {"mail\\", ""},
  };
  for (const auto& [path, want] : cases) {
    std::string_view got = baseName(path);
    EXPECT_EQ(got, want) << "path " << path << ": got " << got << ", want "
                         << want;
  }
}

TEST(WindowsOutputFileTest, HeldFileRefusesEveryOtherOpenAndKeepsItsText) {
  ScratchDir dir;
  const std::string path = (dir.path() / "r.csv").string();
  int error = 0;
  std::FILE* out = openOutputFile(path, false, error);
  ASSERT_NE(out, nullptr) << "error " << error;
  std::fputs("row\r\n", out);
  std::fflush(out);

  for (bool append : {false, true}) {
    int secondError = 0;
    std::FILE* second = openOutputFile(path, append, secondError);
    EXPECT_EQ(second, nullptr) << "append " << append;
    EXPECT_EQ(secondError, EACCES) << "append " << append;
    if (second != nullptr) std::fclose(second);
  }
  // Reading it as a message fails too, but the run still knows its own file.
  std::FILE* reader = std::fopen(path.c_str(), "rb");
  EXPECT_EQ(reader, nullptr);
  if (reader != nullptr) std::fclose(reader);
  EXPECT_TRUE(isSameFile(path, out));
  dir.write("other.csv", "");
  EXPECT_FALSE(isSameFile((dir.path() / "other.csv").string(), out));
  std::fclose(out);

  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "row\r\n");
}

TEST(WindowsVersionResourceTest, FileVersionOfEachRecord) {
  // Record 3 lists two language and code-page pairs, so neither is used:
  // its table for US English and code page 1200 answers only when that is
  // the user's default language.
  const std::string twoPairs =
      GetUserDefaultLangID() == 0x0409 ? "3.0.0.2" : "";
  const struct {
    const char* name;
    int resourceId;
    std::string want;
  } cases[] = {
      {"program's own record", 1, "1.1.0.15"},
      {"the one listed pair wins", 2, "1, 2, 0, 7"},
      {"two pairs fall back to the user's language", 3, twoPairs},
      {"no FileVersion in the table", 4, ""},
      {"value of 254 bytes does not fit", 5, ""},
      {"value of 253 bytes fits", 6, "6." + std::string(251, '1')},
      {"no such record", 99, ""},
  };
  for (const auto& c : cases) {
    std::string got = fileVersionOfResource(c.resourceId);
    EXPECT_EQ(got, c.want) << c.name << ": got \"" << got << "\", want \""
                           << c.want << "\"";
  }
  EXPECT_EQ(buildVersionText(), " 1.1 build 15");
}

}  // namespace
