#include "driver/run.h"

#include <gtest/gtest.h>

#include "driver/console_log.h"

#ifndef _WIN32
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#endif

namespace {

TEST(CsvRowTest, FieldsAreQuotedWithInnerQuotesDoubled) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "\"\"\r\n"},
      {"say \"hi\"", "\"say \"\"hi\"\"\"\r\n"},
      {"\"", "\"\"\"\"\r\n"},
      {"a,b\r\nc", "\"a,b\r\nc\"\r\n"},  // a quoted field may hold both
  };
  for (const auto& [subject, wantEnd] : cases) {
    std::string got =
        csvRow("01/02/26 03:04:05", "a.eml", "failed", "5.1.1", "x@y", subject);
    std::string want =
        std::string(
            "\"01/02/26 03:04:05\",\"a.eml\",\"failed\",\"5.1.1\",\"x@y\",") +
        wantEnd;
    EXPECT_EQ(got, want) << "subject " << subject;
  }
}

// Every case is also handed over in two pieces cut at each position, as
// reads of the file may cut it.
TEST(FirstRowColumnsTest, CountsTheFirstRowWhereverItIsCut) {
  const struct {
    const char* name;
    std::string text;
    std::size_t want;
  } cases[] = {
      {"header row",
       "\"Time\",\"File\",\"Action\",\"Status\",\"Recipient\","
       "\"Subject\"\r\n\"a\",\"b\"\r\n",
       6},
      {"comma, quotes and line breaks inside a field",
       "\"s\",\"a,b\",\"say "
       "\"\"x,\"\"\",\"\r\n\",\"\n,\",\"\"\"\",\"k\"\r\nx,y\r\n",
       7},
      {"row without its line end", "\"a\",\"b\",\"c\"", 3},
      {"line feed alone ends it", "a,b\nc,d,e,f\n", 2},
      {"empty first line", "\r\n\"a\",\"b\"\r\n", 1},
      {"quote never closed", "\"a,\nb,c", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::size_t cut = 0; cut <= c.text.size(); ++cut) {
      FirstRowColumns columns;
      const std::string_view text = c.text;
      columns.take(text.substr(0, cut));
      columns.take(text.substr(cut));
      EXPECT_EQ(columns.count(), c.want) << "cut at " << cut;
    }
  }
}

TEST(SafeConsoleTextTest, ControlsBecomeHexEscapesAndTextStays) {
  const std::pair<std::string, const char*> cases[] = {
      {std::string("\0\x08\t\x0A\x1B\x1F \x7E\x7F", 9),
       "\\x00\\x08\t\\x0A\\x1B\\x1F ~\\x7F"},
      // C1 controls in UTF-8; C2 7F, C2 A0, C3 80 and a lone C2 are not.
      {"\xC2\x80\xC2\x9F", "\\xC2\\x80\\xC2\\x9F"},
      {"\xC2\x7F\xC2\xA0\xC3\x80\xC2", "\xC2\\x7F\xC2\xA0\xC3\x80\xC2"},
      {"", ""},
  };
  for (const auto& [text, want] : cases) {
    EXPECT_EQ(safeConsoleText(text), want) << "text " << text;
  }
}

#ifndef _WIN32
// What `write` sends to standard output through the console writer.
template <class Write>
std::string consoleOutput(Write write) {
  char name[] = "/tmp/mailvane-console-XXXXXX";
  const int file = mkstemp(name);
  std::fflush(stdout);
  const int saved = dup(1);
  dup2(file, 1);
  consoleLog().enable();
  write(consoleLog());
  consoleLog().disable();  // writes the pending lines
  dup2(saved, 1);
  close(saved);
  close(file);
  std::ifstream in(name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  unlink(name);
  return text.str();
}

// The lines written without formatting read as the formatted ones would,
// cut included (the stamps, which may fall in different seconds, aside).
TEST(ConsoleLogTest, FieldLinesReadAsFormattedLines) {
  const std::string values[] = {
      "mail/a.eml",
      std::string("a\x1B[2J\xC2\x85"
                  "b\0c",
                  10),
      std::string(9000, 'p'), std::string(2100, '\x07'),
      std::string(8100, 'q') + "\xC2\x80" + std::string(100, 'r')};
  for (const std::string& value : values) {
    const std::string shown = safeConsoleText(value);
    std::string got = consoleOutput(
        [&](ConsoleLog& log) { log.reportField("Parsing eml ", value); });
    std::string want = consoleOutput(
        [&](ConsoleLog& log) { log.report("Parsing eml %s", shown.c_str()); });
    ASSERT_GT(got.size(), 20u);
    EXPECT_EQ(got.substr(20), want.substr(20)) << "value " << value.size();
    got = consoleOutput(
        [&](ConsoleLog& log) { log.printField("  Subject: ", value); });
    want = consoleOutput([&](ConsoleLog& log) {
      log.print("%s%s\n", "  Subject: ", shown.c_str());
    });
    EXPECT_EQ(got, want) << "value " << value.size();
    const ConsoleLog::Field fields[] = {{"  Subject: ", value},
                                        {"  Action: ", "failed"}};
    got = consoleOutput([&](ConsoleLog& log) { log.printFields(fields); });
    want = consoleOutput([&](ConsoleLog& log) {
      log.print("%s%s\n", "  Subject: ", shown.c_str());
      log.print("  Action: failed\n");
    });
    EXPECT_EQ(got, want) << "value " << value.size();
  }
}
#endif

TEST(BaseNameTest, NameAfterTheLastSlash) {
  const std::pair<const char*, const char*> cases[] = {
      {"mail/a.eml", "a.eml"},        {"a.eml", "a.eml"},
      {"/x/y/z.eml", "z.eml"},        {"mail/", ""},
#ifndef _WIN32
      {"mail\\a.eml", "mail\\a.eml"},  // only "/" separates on POSIX
#endif
  };
  for (const auto& [path, want] : cases) {
    EXPECT_EQ(baseName(path), want) << "path " << path;
  }
}

}  // namespace
