#include "driver/run.h"

#include <gtest/gtest.h>

#include "driver/console_log.h"

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
