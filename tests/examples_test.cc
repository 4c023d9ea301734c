// Runs the real executable over a copy of the example messages in examples/
// and compares its rows with tests/data/examples.csv: the stamp column is
// masked, and rows are compared sorted because the files come in the
// directory listing's order.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;

TEST(ExamplesTest, RowsMatchTheCheckedInFile) {
  const fs::path source(MAILVANE_SOURCE_DIR);
  ScratchDir scratch;
  const fs::path messages = scratch.path() / "examples";
  fs::create_directory(messages);
  for (const auto& entry : fs::directory_iterator(source / "examples")) {
    if (entry.path().extension() == ".eml") {
      fs::copy_file(entry.path(), messages / entry.path().filename());
    }
  }
  const fs::path out = scratch.path() / "rows.csv";
  const ProgramOutput run =
      runProgramIn(scratch.path(), MAILVANE_EXE,
                   {"-dir", messages.string(), "-out", out.string()});
  ASSERT_EQ(run.status, 0) << "console:\n" << run.output;

  // The rows cover the file, each ending in CRLF and starting with a stamp
  // of the local clock, which is masked.
  const std::string csv = readFile(out);
  const std::regex row(
      R"("\d\d/\d\d/\d\d \d\d:\d\d:\d\d"((,"[^"\r\n]*"){5})\r\n)");
  std::vector<std::string> got;
  std::size_t next = 0;
  for (std::sregex_iterator it(csv.begin(), csv.end(), row), end; it != end;
       ++it) {
    ASSERT_EQ(static_cast<std::size_t>(it->position()), next) << csv;
    next += it->length();
    got.push_back("\"MM/DD/YY HH:MM:SS\"" + it->str(1));
  }
  ASSERT_EQ(next, csv.size()) << csv;
  std::sort(got.begin(), got.end());

  std::vector<std::string> want;
  std::ifstream expected(source / "tests" / "data" / "examples.csv");
  for (std::string line; std::getline(expected, line);) want.push_back(line);
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
}

}  // namespace
