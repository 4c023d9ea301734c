// The linear searches stand in for library searches, so they must answer
// exactly as the library does: on the byte rules they rely on, and on
// random texts built from the pieces that make or break each pattern.

#include "search/long_text_search.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "analysis/analysis_test_util.h"
#include "analysis/patterns.h"
#include "message/ascii_text.h"

namespace {

// The library rules the linear searches are written for: "." takes every
// byte, "^" holds after LF, CR and FF but not inside CR LF, and ignoring
// case folds ASCII letters only.
TEST(LongTextSearchTest, LibraryRulesHold) {
  const auto icase = boost::regex::perl | boost::regex::icase;
  const boost::regex dot("a.b", icase);
  const boost::regex lineStart("^5", icase);
  for (int c = 0; c < 256; ++c) {
    SCOPED_TRACE(c);
    const char byte = static_cast<char>(c);
    EXPECT_TRUE(boost::regex_search(std::string("a") + byte + "b", dot));
    const bool isSeparator = c == '\n' || c == '\r' || c == '\f';
    EXPECT_EQ(boost::regex_search(std::string("x") + byte + "5", lineStart),
              isSeparator);
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
    const boost::regex one(escaped, icase);
    for (int d = 0; d < 256; ++d) {
      const std::string other(1, static_cast<char>(d));
      const bool isFound = findIgnoreCase(other, std::string(1, byte)) == 0;
      ASSERT_EQ(boost::regex_search(other, one), isFound) << d;
    }
  }
  EXPECT_FALSE(
      boost::regex_search(std::string("x\r\n5"), boost::regex("^\\n", icase)));
}

// A random text of `count` pieces drawn from `pieces`.
std::string randomText(std::mt19937& random,
                       const std::vector<std::string>& pieces, int count) {
  std::string text;
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  for (int i = 0; i < count; ++i) text += pieces[pick(random)];
  return text;
}

// The skipping search must find a text exactly where the byte-by-byte one
// does: random lines of its own pieces, cut and in other letter cases.
TEST(LongTextSearchTest, FoldedTextAnswersAsFindIgnoreCase) {
  const std::string text = "did not reach the following recipient";
  const std::vector<std::string> pieces = {
      "did not ",
      "DID NOT ",
      "reach the ",
      "Reach The ",
      "following ",
      "recipient",
      "RECIPIENT",
      "e",
      "t",
      " ",
      "\xE9",
      "d",
      "did not reach the following recipien"};
  const FoldedText folded(text);
  std::mt19937 random(13);
  int found = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::string line = randomText(random, pieces, round % 14);
    const bool want = findIgnoreCase(line, text) != std::string_view::npos;
    ASSERT_EQ(folded.isIn(line), want) << shown(line);
    found += want;
  }
  EXPECT_GT(found, 200);
  EXPECT_FALSE(FoldedText("").isIn("any"));
  EXPECT_TRUE(FoldedText("a").isIn("xA"));
}

TEST(LongTextSearchTest, SubjectPatternsAnswerAsTheLibrary) {
  const Mailvane& patterns = mailvane();
  const std::vector<std::string> pieces = {"out",
                                           "OUT",
                                           "Out ",
                                           "away",
                                           "AWAY",
                                           "on holiday",
                                           "On Holiday",
                                           "on  holiday",
                                           "office",
                                           "OFFICE",
                                           "Office",
                                           "offic",
                                           "ffice",
                                           "o",
                                           "ut",
                                           " ",
                                           "\n",
                                           "\r",
                                           "\f",
                                           std::string(1, '\0'),
                                           "\xC0",
                                           "auto",
                                           "reply",
                                           "auto-reply",
                                           "vacation",
                                           "x",
                                           "undeliverable",
                                           "aw",
                                           "ay"};
  std::mt19937 random(7);
  int checked = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::string text = randomText(random, pieces, round % 12);
    const bool bounceWant = boost::regex_search(text, patterns.bounceSubject);
    const bool autoWant = boost::regex_search(text, patterns.autoReplySubject);
    ASSERT_EQ(patterns.matchesBounceSubject(text), bounceWant) << shown(text);
    ASSERT_EQ(patterns.matchesAutoReplySubject(text), autoWant) << shown(text);
    checked += autoWant ? 1 : 0;
  }
  // Both answers came up often enough to mean something.
  EXPECT_GT(checked, 2000);
  EXPECT_LT(checked, 18000);
}

TEST(LongTextSearchTest, ReplyCodeSearchFindsTheLibrarysMatch) {
  const Mailvane& patterns = mailvane();
  const std::vector<std::string> pieces = {
      "550 ",     "450 ",        "421 ",     "5",           "55",
      "0 ",       "553",         " ",        "\r",          "\n",
      "\f",       "\r\n",        "denied",   "DENIED",      "deni",
      "unknown",  "no such",     "not our",  "not a valid", "NOT ACTIVATED",
      "not ",     "x",           "460 ",     "5 50 ",       "\t",
      "inactive", "Deactivated", "rejected", "DISABLED"};
  std::mt19937 random(11);
  int found = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::string text = randomText(random, pieces, round % 10);
    const std::string_view line = text;
    ViewMatch want;
    const bool isFound = boost::regex_search(line.begin(), line.end(), want,
                                             patterns.replyCodeAtStart);
    ViewMatch got;
    ASSERT_EQ(patterns.searchReplyCodeAtStart(line, got), isFound)
        << shown(text);
    if (!isFound) continue;
    ++found;
    ASSERT_EQ(got[0].first - line.begin(), want[0].first - line.begin())
        << shown(text);
    ASSERT_EQ(got[0].second - line.begin(), want[0].second - line.begin())
        << shown(text);
    ASSERT_EQ(got.str(1), want.str(1)) << shown(text);
  }
  EXPECT_GT(found, 1000);
}

TEST(LongTextSearchTest, RefusalWordsAreSpelledFromThePattern) {
  ReplyCodeRefusal search;
  ASSERT_TRUE(
      ReplyCodeRefusal::parse(patternBody(kGlobalPatternTexts[15]), search));
  const std::vector<std::string> want = {
      "denied",  "inactive", "deactivated", "rejected",      "disabled",
      "unknown", "no such",  "not our",     "not activated", "not a valid"};
  EXPECT_EQ(search.words(), want);
  // Any other form is left to the library.
  for (const char* other : {
           R"(^([45][01257][012345]) (?:.*?)(?:denied|no.such)+)",
           R"(^([45]\d\d) (?:.*?)(?:denied)+)",
           R"(^([45][01257][012345]) (?:.*?)(?:denied|)+)",
           R"(^([45][01257][012345]) (?:.*?)(?:not (?:our)+)",
       }) {
    EXPECT_FALSE(ReplyCodeRefusal::parse(other, search)) << other;
  }
}

TEST(LongTextSearchTest, GappedPhrasesAreRecognisedAndAnswerAsTheLibrary) {
  struct Case {
    const char* pattern;
    bool isGapped;
  } cases[] = {
      {"5.7.1 Your message.*?was blocked by ROTA DNSBL", true},
      {"a.*b", true},
      {"a\\-b.*?c\\:", true},
      {"a.*", false},
      {".*b", false},
      {"a.*?b.*c", false},
      {"(a).*b", false},
      {"a\\d.*b", false},
      {"a\\..*b", false},
      {"a+.*b", false},
      {"a.*[b]", false},
      {"plain words", false},
  };
  for (const Case& c : cases) {
    GappedPhrase phrase;
    EXPECT_EQ(GappedPhrase::parse(c.pattern, phrase), c.isGapped) << c.pattern;
  }

  const std::vector<std::string> pieces = {"5.7.1 Your message",
                                           "5x7y1 your MESSAGE",
                                           "5.7.1 Your messag",
                                           "was blocked by ROTA DNSBL",
                                           "WAS BLOCKED BY rota dnsbl",
                                           "was blocked by ROTA DNSB",
                                           " ",
                                           "\n",
                                           "\r",
                                           std::string(1, '\0'),
                                           "5.7.1",
                                           "x"};
  const char* pattern = cases[0].pattern;
  GappedPhrase phrase;
  ASSERT_TRUE(GappedPhrase::parse(pattern, phrase));
  const boost::regex library(pattern, boost::regex::perl | boost::regex::icase);
  std::mt19937 random(5);
  int matched = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::string text = randomText(random, pieces, round % 8);
    const bool want = boost::regex_search(text, library);
    ASSERT_EQ(phrase.matches(text), want) << shown(text);
    matched += want ? 1 : 0;
  }
  EXPECT_GT(matched, 1000);
}

}  // namespace
