#include <gtest/gtest.h>

#include "driver/platform.h"

namespace {

TEST(MatchWildcardTest, StarAndQuestionMarkOnly) {
  const struct {
    const char* pattern;
    const char* name;
    bool want;
  } cases[] = {
      {"*.eml", "a.eml.bak", false},
      {"?.eml", "ab.eml", false},
      {"a*b*c", "aXbYbZc", true},  // the first "b" is the wrong one
      {"a*b*c", "aXbYcZ", false},
      {"A.EML", "a.eml", false},
      {"**a", "a", true},
      {"[ab].eml", "a.eml", false},
      {"[ab].eml", "[ab].eml", true},
      {"", "a", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(matchWildcard(c.pattern, c.name), c.want)
        << "pattern " << c.pattern << ", name " << c.name;
  }
}

}  // namespace
