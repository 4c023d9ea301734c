#include "message/header_fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct ParsedHeaders {
  HeaderList headers;
  std::string boundary;
  std::string nextLine;  // the first line after the header block
};

void parseInto(const std::string& text, ParsedHeaders& parsed) {
  MessageBuffer buffer;
  loadBytes(buffer, text);
  BufferPosition pos = buffer.start();
  EXPECT_TRUE(
      parseHeaderBlock(&buffer, pos, {&parsed.headers, &parsed.boundary}));
  buffer.readTextLine(pos, parsed.nextLine);
}

ParsedHeaders parseHeaders(const std::string& text) {
  ParsedHeaders parsed;
  parseInto(text, parsed);
  return parsed;
}

TEST(HeaderFieldsTest, HeaderLinesBecomeFieldsAsWritten) {
  const std::string longValue(10 * 1024 * 1024, 'v');
  std::string manyFolds = "F: s\n";  // appended in place, or it takes minutes
  for (int i = 0; i < 100000; ++i) manyFolds += " c\n";
  // Distinct names, last first; then one again in other letters.
  std::string manyNames;
  for (int i = 99999; i >= 0; --i) {
    manyNames += "N" + std::to_string(i) + ": " + std::to_string(i) + "\n";
  }
  manyNames += "n50000: again\n\nbody";
  struct Case {
    const char* name;
    std::string text;
    std::string field;  // looked up by this name
    std::string want;
    std::string wantNextLine;
  } cases[] = {
      {"OneSpaceAfterColonSkipped", "Subject:  two\n\nbody", "Subject", " two",
       "body"},
      {"FoldDropsOneBlank", "S: a\n b\n  c\n\td\n \n\nbody", "S", "ab cd",
       "body"},
      {"BlankBeforeColonStaysInName", "Subject : =?a?Q?x?=\n\n", "Subject ",
       "=?a?Q?x?=", ""},
      {"LastOfRepeatedFieldKept", "Received: 1\nreceived: 2\n\n", "RECEIVED",
       "2", ""},
      {"RepeatedFieldKeepsNoParameterOfTheFirst",
       "Content-Type: a; b=1; c=2\nA: 1\ncontent-type: x\n\n", "Content-Type",
       "x", ""},
      {"LineWithoutColonEndsBlockAndIsLost", "A: 1\nbroken\nbody\n", "A", "1",
       "body"},
      {"MailboxFromLineIsAField", "From someone Mon Jan 1 12:00:00 2001\n\n",
       "From someone Mon Jan 1 12", "00:00 2001", ""},
      {"Utf8MarkDoesNotHideFirstField", "\xEF\xBB\xBFS: x\n\n", "S", "x", ""},
      {"BlockEndingAtEof", "A: 1\r\n b\r\nB: 2", "A", "1b", ""},
      {"ManyContinuationLines", manyFolds + "\nbody", "F",
       "s" + std::string(100000, 'c'), "body"},
      {"LongLineIsOneField", "X: " + longValue + "\nY: 1\n\nbody", "X",
       longValue, "body"},
      {"ManyDistinctNames", manyNames, "N50000", "again", "body"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ParsedHeaders parsed = parseHeaders(c.text);
    std::string got = parsed.headers.value(c.field);
    EXPECT_TRUE(parsed.headers.has(c.field));
    EXPECT_TRUE(got == c.want) << "got \"" << got.substr(0, 80) << "\", want \""
                               << c.want.substr(0, 80) << "\"";
    EXPECT_EQ(parsed.nextLine, c.wantNextLine);
    HeaderList copy = parsed.headers;
    EXPECT_EQ(copy.value(c.field).size(), c.want.size());
    const HeaderList moved = std::move(copy);
    EXPECT_EQ(moved.value(c.field).size(), c.want.size());
  }
  // One list reused for every text, as the analysis reuses its lists from
  // message to message, and again the other way round: nothing stored for
  // an earlier text shows through.
  ParsedHeaders reused;
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      const Case& c = cases[round == 0 ? i : std::size(cases) - 1 - i];
      SCOPED_TRACE(std::string("reused ") + c.name);
      parseInto(c.text, reused);
      const HeaderList fresh = parseHeaders(c.text).headers;
      ASSERT_EQ(reused.headers.size(), fresh.size());
      EXPECT_TRUE(reused.headers.value(c.field) == c.want);
      auto field = reused.headers.begin();
      for (const HeaderField& want : fresh) {
        EXPECT_EQ(field->name, want.name);
        EXPECT_TRUE(field->value == want.value);
        EXPECT_EQ(field->params.size(), want.params.size());
        ++field;
      }
    }
  }
}

TEST(HeaderFieldsTest, ContentTypeIsSplitAtEverySemicolon) {
  ParsedHeaders parsed = parseHeaders(
      "Content-Type: multipart/report; report-type=delivery-status; junk; "
      "=x; BOUNDARY=\"a;b\"\n\n");
  const HeaderField* field = parsed.headers.find("content-type");
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->params.size(), 3u);
  EXPECT_EQ(field->params.value("type"), "multipart/report");
  EXPECT_EQ(field->params.value("report-type"), "delivery-status");
  EXPECT_EQ(parsed.boundary, "\"a");  // the quote stays: no closing one
}

struct DecodeCase {
  const char* name;
  std::string text;
  std::string want;
};

void expectDecodes(const std::vector<DecodeCase>& cases) {
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string got = decodeEncodedWords(c.text);
    EXPECT_EQ(got, c.want) << "got \"" << got << "\", want \"" << c.want
                           << "\"";
  }
}

TEST(HeaderFieldsTest, EncodedWordsDecodeToRawBytes) {
  expectDecodes({
      {"Base64", "=?UTF-8?b?SGVsbG8=?=", "Hello"},
      {"QuotedPrintableRawByte", "=?ISO-8859-1?Q?caf=E9?=", "caf\xE9"},
      {"UnderscoreIsSpace", "=?UTF-8?Q?a_b=3D?=", "a b="},
      {"BlankBetweenWordsDropped",
       "=?UTF-8?B?QQ==?= \t =?UTF-8?B?Qg==?=", "AB"},
      {"BlankBetweenWordAndTextKept", "Re: =?UTF-8?Q?a?= b", "Re: a b"},
      {"PlainText", "a=b?", "a=b?"},
  });
}

TEST(HeaderFieldsTest, BrokenEncodedWordsNeverFail) {
  expectDecodes({
      {"UnknownLetterKeepsIntroducer", "=?UTF-8?X?abc?=", "=?UTF-8?X?abc"},
      {"MissingClose", "=?UTF-8?Q?abc", "abc"},
      {"IncompleteBase64GroupDropped", "=?a?B?SGVsbG?=", "Hel"},
      {"EqualsAtEnd", "=?a?Q?x=?=", "x="},
      {"ZeroByteNotProduced", "=?a?Q?=00?=", "=00"},
      {"BlankBeforeUnknownWordKept", "=?a?Q?x?= =?a?X?y?=", "x =?a?X?y"},
      {"BlankAfterUnknownWordKept", "=?a?X?y?= =?a?Q?z?=", "=?a?X?y z"},
  });
}

TEST(HeaderFieldsTest, FieldBlockUnfoldsWithOneSpace) {
  FieldMap map;
  map.set("stale", "x");
  parseFieldBlock({"Final-Recipient: rfc822; box1", "  x", "", "Action:failed ",
                   "Status : 5.0.0", "", "  Indented: y"},
                  map);
  EXPECT_EQ(map.value("final-recipient"), "rfc822; box1 x");
  EXPECT_EQ(map.value("Action"), "failed");
  EXPECT_EQ(map.value("Status "), "5.0.0");
  EXPECT_EQ(map.value("  Indented"), "y");
  EXPECT_EQ(map.size(), 4u);
}

}  // namespace
