#include "driver/version.h"

#include <gtest/gtest.h>

namespace {

TEST(VersionTextTest, LastComponentBecomesBuildAndTrailingZerosGo) {
  const std::pair<const char*, const char*> cases[] = {
      {"1.1.0.15", " 1.1 build 15"},
      {"1, 2, 0, 7", " 1.2 build 7"},
      {"2.3.1.0", " 2.3.1"},
      {"1.0.0.0", " 1.0"},
      {"1.2.3.4", " 1.2.3 build 4"},
      {"1.0.10.0", " 1.0.10"},
      {"5", " 5"},
      {"1.2.3.123456789", " 1.2.3 build 123456789"},
      {"1.2.3.1234567890", " 1.2.3"},  // too long for a build number
      {"", ""},
  };
  for (const auto& [value, want] : cases) {
    std::string got = normalizeVersionText(value);
    EXPECT_EQ(got, want) << "value \"" << value << "\": got \"" << got
                         << "\", want \"" << want << "\"";
  }
}

}  // namespace
