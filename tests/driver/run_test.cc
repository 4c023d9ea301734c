#include "driver/run.h"

#include <gtest/gtest.h>

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
