#include "message/mime_message.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

// The root's lines, then each part as its header names in braces and its
// lines; lines joined with "|".
std::string describe(const MimeMessage& message) {
  auto lines = [](const MimePart& part) {
    std::string text;
    for (std::string_view line : part.lines) {
      if (!text.empty()) text += '|';
      text += line;
    }
    return text;
  };
  std::string text = "root " + lines(message.root);
  for (const MimePart& part : message.parts) {
    text += " / {";
    for (const HeaderField& field : part.headers) text += field.name + ";";
    text += "} " + lines(part);
  }
  return text;
}

// The parsed message described while its buffer, which the lines view, is
// still loaded.
std::string describeParsed(const std::string& text) {
  MessageBuffer buffer;
  loadBytes(buffer, text);
  MimeMessage message;
  BufferPosition position = buffer.start();
  EXPECT_TRUE(parseHeaderBlock(&buffer, position, message.rootTarget()));
  EXPECT_TRUE(parseBody(&buffer, position, message));
  const std::string whole = describe(message);
  // Read the first parts only, then on: the same message. Paused, the last
  // part is the one just opened, still empty.
  for (std::size_t limit : {0, 1, 2}) {
    MimeMessage first;
    position = buffer.start();
    EXPECT_TRUE(parseHeaderBlock(&buffer, position, first.rootTarget()));
    EXPECT_TRUE(parseBody(&buffer, position, first, limit));
    if (first.pausedBody.buffer != nullptr) {
      EXPECT_EQ(first.parts.size(), limit + 1);
      EXPECT_TRUE(first.parts.back().lines.empty());
    } else {
      EXPECT_EQ(describe(first), whole);
    }
    finishBody(first);
    EXPECT_EQ(describe(first), whole) << "read " << limit << " parts first";
  }
  return whole;
}

TEST(MimeMessageTest, BodyIsCutAtTheMessageBoundaryOnly) {
  const std::string mixed = "Content-Type: multipart/mixed; boundary=b\n\n";
  const std::string longLine(10000, 'L');
  std::string emptyParts, wantEmptyParts = "root ";
  for (int i = 0; i < 100000; ++i) emptyParts += "--b\n";
  for (int i = 0; i < 100000; ++i) wantEmptyParts += " / {} ";
  struct Case {
    const char* name;
    std::string text;
    std::string want;
  } cases[] = {
      {"NoBoundary", "Subject: x\n\n--b\nbody\n", "root --b|body"},
      {"PreamblePartsEpilogue",
       mixed + "pre\n--b\nA: 1\n\none\n--b\n\ntwo\n--b--\nepilogue\n",
       "root pre / {A;} one / {} two"},
      {"InexactDelimitersAreText", mixed + "a\n--B\n--b \n--b--x\n",
       "root a|--B|--b |--b--x"},
      {"ClosingMissing", mixed + "--b\ntext\nK: v", "root  / {} text|K: v"},
      {"DelimitersInARow", mixed + "--b\n--b\nNote: hi\n",
       "root  / {}  / {Note;} "},
      {"NestedMultipartKeptAsLines",
       mixed + "--b\nContent-Type: multipart/x; boundary=c\n\n--c\n--c--\n",
       "root  / {Content-Type;} --c|--c--"},
      {"HundredThousandEmptyParts", mixed + emptyParts + "--b--\nafter\n",
       wantEmptyParts},
      // Lines that cross block edges are copies; each keeps its own text.
      {"LongLinesAndZeroByte",
       mixed + "--b\r\n\r\n" + longLine + "\r\n" + longLine + "M\r\nab" +
           std::string("\0c\n", 3),
       "root  / {} " + longLine + "|" + longLine + "M|ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string got = describeParsed(c.text);
    EXPECT_EQ(got, c.want) << "got \"" << got.substr(0, 100) << "\", want \""
                           << c.want.substr(0, 100) << "\"";
  }
}

}  // namespace
