#include "analysis/status_codes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "analysis/analysis_test_util.h"
#include "analysis/patterns.h"

namespace {

TEST(StatusCodesTest, SplitStatusCodeAndAction) {
  struct Case {
    const char* text;
    const char* wantCode;  // "" when splitStatusCode fails
    const char* wantRest;
    const char* wantAction;
  };
  const Case cases[] = {
      {"5.1.1 (bad destination mailbox)", "5.1.1", " (bad destination mailbox)",
       "failed"},
      {"2.0.0", "2.0.0", "", "success"},
      {"4.7.26", "4.7.26", "", "transient"},  // the detail is taken whole
      {"5.7.509 denied", "5.7.509", " denied", "failed"},
      {"smtp; 421 try later", "4.2.1", " try later", "transient"},
      {"5.9.0", "", "", ""},
      {"3.1.1", "", "", ""},
      {"delivered", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> out{"stale"};
    const bool wantFound = *c.wantCode != '\0';
    ASSERT_EQ(splitStatusCode(mailvane(), c.text, out), wantFound);
    ASSERT_EQ(out.size(), wantFound ? 2u : 0u);
    if (wantFound) {
      EXPECT_EQ(out[0], c.wantCode)
          << "got " << out[0] << ", want " << c.wantCode;
      EXPECT_EQ(out[1], c.wantRest);
    }
    EXPECT_EQ(actionFromStatus(mailvane(), c.text), c.wantAction);
  }
}

TEST(StatusCodesTest, DiagnosticCodeNeedsWhiteSpaceAfterIt) {
  EXPECT_EQ(statusFromDiagnostic(mailvane(), "550 5.1.1 user unknown"),
            "5.1.1");
  EXPECT_EQ(statusFromDiagnostic(mailvane(), "4.7.26 rate limited"), "4.7.26");
  EXPECT_EQ(statusFromDiagnostic(mailvane(), "451 4.3.0"), "451");
  EXPECT_EQ(statusFromDiagnostic(mailvane(), "5.1.1"), "");
}

// The process-wide object finds the codes by scanning the text; the
// unfiltered one asks the library. Short random texts over the bytes that
// matter (digits, points, each kind of white space, a zero byte, a byte
// above 127) must get the same answers from both.
TEST(StatusCodesTest, ScansAnswerAsTheLibrary) {
  static const Mailvane library(false);
  const std::string alphabet(
      "0123456789....  \t\n\r\v\f\0\x85\xA0"
      "a;",
      26);
  std::mt19937 random(3463);
  std::vector<std::string> scanned;
  std::vector<std::string> searched;
  for (int round = 0; round < 200000; ++round) {
    std::string text;
    for (int n = static_cast<int>(random() % 13); n > 0; --n) {
      text += alphabet[random() % alphabet.size()];
    }
    SCOPED_TRACE(shown(text));
    const bool isFound = splitStatusCode(mailvane(), text, scanned);
    ASSERT_EQ(isFound, splitStatusCode(library, text, searched));
    ASSERT_EQ(scanned, searched);
    ASSERT_EQ(statusFromDiagnostic(mailvane(), text),
              statusFromDiagnostic(library, text));
  }
}

TEST(StatusCodesTest, OnlyAsciiLettersAreFolded) {
  EXPECT_TRUE(containsIgnoreCase("Mail for A@X.Test failed", "a@x.test"));
  EXPECT_FALSE(containsIgnoreCase("abc", ""));
  // Latin-1 capital and small A with diaeresis differ like ASCII letters.
  EXPECT_FALSE(containsIgnoreCase("\xC4", "\xE4"));
  // Where the search starts, overlapping starts, the text's very end.
  const std::pair<std::size_t, std::size_t> found[] = {
      {findIgnoreCase("aaAB", "aab"), 1},
      {findIgnoreCase("xAbxab", "AB", 2), 4},
      {findIgnoreCase("xab", "ab", 1), 1},
      {findIgnoreCase("ab", "abc"), std::string_view::npos},
      {findIgnoreCase("ab", "b", 3), std::string_view::npos},
      {findIgnoreCase("-5", "-5"), 0},
  };
  for (const auto& [got, want] : found) EXPECT_EQ(got, want);
}

}  // namespace
