#include "message/mailbox_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

TEST(MailboxReaderTest, FromLinesAreToldFromText) {
  const std::string longSender(kMaxFromLine - 30, 's');
  struct Case {
    const char* name;
    std::string line;
  };
  const Case fromLines[] = {
      {"WithSecondsAndYear", "From MAILER-DAEMON Thu Apr 29 23:34:45 2015"},
      {"WithoutSeconds", "From a@b.example Thu Apr 29 23:34 2015"},
      {"ZoneThenYear", "From a@b.example Sun Dec 31 23:59:59 UTC 1999"},
      {"YearThenOffset", "From a@b.example Mon Jan 5 09:03 2026 +0100"},
      {"PaddedDayNoYear", "From a  Fri Apr  9 01:02:03"},
      {"TrailingBlanksAndCr", "From a Wed Jul 04 12:00:00 2001  \r"},
      {"LongestLine", "From " + longSender + " Thu Apr 29 23:34:45 2015"},
      {"LongestLineAndCr",
       "From " + longSender + " Thu Apr 29 23:34:45 2015\r"},
  };
  const Case textLines[] = {
      {"HeaderField", "From: a@b.example Thu Apr 29 23:34:45 2015"},
      {"MissingSender", "From  Thu Apr 29 23:34:45 2015"},
      {"NoDate", "From a@b.example"},
      {"Prose", "From the desk of the postmaster"},
      {"BadWeekday", "From a Thr Apr 29 23:34:45 2015"},
      {"BadMonth", "From a Thu Apx 29 23:34:45 2015"},
      {"ThreeDigitDay", "From a Thu Apr 129 23:34:45 2015"},
      {"HourOnly", "From a Thu Apr 29 23 2015"},
      {"TwoYears", "From a Thu Apr 29 23:34:45 2015 2016"},
      {"WordsAfterDate", "From a Thu Apr 29 23:34:45 2015 remote from b"},
      {"InnerCr", "From a Thu Apr 29\r23:34:45 2015"},
      {"TooLong", "From " + longSender + " Thu Apr 29 23:34:45 2015 \r"},
  };
  for (const Case& c : fromLines) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(isMboxFromLine(c.line)) << c.line.size();
  }
  for (const Case& c : textLines) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(isMboxFromLine(c.line));
  }
}

// A file in memory that gives `first` bytes at most on its first read and
// `chunk` bytes on each later one, as a pipe may; its end reads as 0, or as
// a failure with `failsAtEnd`. It fills areas itself, as readv does.
struct ChunkSource final : ByteSource {
  ChunkSource(std::string text, size_t firstSize, size_t chunkSize)
      : bytes(std::move(text)), first(firstSize), chunk(chunkSize) {}

  std::ptrdiff_t read(char* data, std::size_t want) override {
    ++reads;
    return give(&data, want, 0, want);
  }
  std::ptrdiff_t readAreas(char* const* areas, std::size_t areaSize,
                           std::size_t from, std::size_t end) override {
    ++scatteredReads;
    return give(areas, areaSize, from, end);
  }
  std::ptrdiff_t give(char* const* areas, std::size_t areaSize,
                      std::size_t from, std::size_t end) {
    if (at == bytes.size()) return failsAtEnd ? -1 : 0;
    const size_t n =
        std::min({end - from, at == 0 ? first : chunk, bytes.size() - at});
    for (size_t i = 0; i < n; ++i) {
      areas[(from + i) / areaSize][(from + i) % areaSize] = bytes[at + i];
    }
    at += n;
    return static_cast<std::ptrdiff_t>(n);
  }

  std::string bytes;
  size_t first;
  size_t chunk;
  bool failsAtEnd = false;
  size_t at = 0;
  int reads = 0;
  int scatteredReads = 0;
};

// The messages the reader hands out, read `want` bytes at a time, with
// readAreas into areas of 7 bytes from byte 3 on when `isScattered`.
std::vector<std::string> readMessages(MailboxReader& reader, size_t want,
                                      bool isScattered) {
  std::vector<std::string> messages(1);
  std::vector<char> data(want + 3 + 7);
  std::vector<char*> areas;
  for (size_t at = 0; at + 7 <= data.size(); at += 7) {
    areas.push_back(data.data() + at);
  }
  while (messages.size() < 50) {
    const std::ptrdiff_t n =
        isScattered ? reader.readAreas(areas.data(), 7, 3, 3 + want)
                    : reader.read(data.data(), want);
    if (n > 0) {
      messages.back().append(data.data() + (isScattered ? 3 : 0), n);
    } else if (reader.isAtNextMessage()) {
      reader.startNextMessage();
      messages.emplace_back();
    } else {
      break;
    }
  }
  return messages;
}

std::string withCrLf(const std::string& text) {
  std::string out;
  for (char c : text)
    out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

// Each case is a file as the pieces it must split into. Every file is read
// with its first read ending at each of its bytes and with tiny reads
// throughout, so that From lines and the empty lines before them straddle
// reads everywhere.
TEST(MailboxReaderTest, MailboxesSplitIntoTheirMessagesByteForByte) {
  const std::string m1 =
      "From MAILER-DAEMON Thu Apr 29 23:34:45 2015\nSubject: one\n\nbody\n"
      "From inside a paragraph Thu Apr 29 23:34:45 2015\n\n";
  const std::string m2 =
      "From a@b.example Mon Jan  5 09:03 +0100 2026\nSubject: two\n\n"
      ">From quoted\n\n\n";
  const std::string m3 =
      "From x Sun Dec 31 23:59:59 UTC 1999\nSubject: three\n\nno line feed";
  const std::string sender(kMaxFromLine - 30, 's');
  const std::string longest = "From " + sender + " Thu Apr 29 23:34:45 2015";
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
  } cases[] = {
      {"ThreeMessages", {m1, m2, m3}},
      {"ThreeMessagesCrLf", {withCrLf(m1), withCrLf(m2), withCrLf(m3)}},
      {"EmptyLineOfLfAfterCrLf", {withCrLf(m1) + "\n", m3}},
      {"OneMessageWithFromLine", {m1}},
      {"FromLineAtEndWithoutLineFeed", {m1, "From a Thu Apr 29 23:34 2015"}},
      {"FromLineOfLongestLength", {m2, longest + "\r\nbody\n"}},
      {"FromLikeLinesAfterEmptyLines",
       {m1 + "From: a\n\nFrom the desk\n\n" + longest + " \n\nFrom\n\n", m3}},
      {"NotAMailbox", {"Return-Path: <>\n\n" + m1 + m2}},
      {"ByteOrderMarkFirst", {"\xEF\xBB\xBF" + m1 + m2}},
      {"FirstLineCutShort", {"From a Thu Apr 29 23:3"}},
      {"EmptyFile", {""}},
  };
  for (const Case& c : cases) {
    std::string file;
    for (const std::string& piece : c.pieces) file += piece;
    std::vector<std::pair<size_t, size_t>> reads;  // first read, later reads
    for (size_t first = 1; first <= file.size() + 1; ++first) {
      reads.emplace_back(first, 8192);
    }
    for (size_t chunk : {1, 2, 3, 5}) reads.emplace_back(chunk, chunk);
    for (auto [first, chunk] : reads) {
      for (int variant = 0; variant < 4; ++variant) {
        SCOPED_TRACE(std::string(c.name) + " first " + std::to_string(first) +
                     " chunk " + std::to_string(chunk) + " variant " +
                     std::to_string(variant));
        ChunkSource source(file, first, chunk);
        source.failsAtEnd = variant == 3;
        MailboxReader reader(source);
        std::vector<std::string> got =
            readMessages(reader, variant == 0 ? 1 : 8192, variant == 2);
        ASSERT_EQ(got, c.pieces);
        EXPECT_EQ(reader.hasFailed(), source.failsAtEnd);
      }
    }
  }
}

std::vector<std::string> linesOf(const MessageBuffer& buffer) {
  std::vector<std::string> lines;
  BufferPosition position = buffer.start();
  std::string line;
  while (buffer.readTextLine(position, line)) lines.push_back(line);
  return lines;
}

// Messages around and above the block and buffer sizes, loaded as the run
// loop loads them: the first with the file's size (one scattered read of the
// whole file), the others to their end; or all by short reads from a pipe.
TEST(MailboxReaderTest, LoadedMessagesReadAsTheirPiecesAlone) {
  auto message = [](const std::string& from, size_t lines) {
    std::string text = from + "\nSubject: s\n\n";
    for (size_t i = 0; i < lines; ++i) {
      text += "line " + std::to_string(i) + " of the body\n";
      if (i % 50 == 0) text += "\n";
    }
    return text + "\n";
  };
  const std::vector<std::string> pieces = {
      message("From a Thu Apr 29 23:34:45 2015", 1000),
      message("From b Thu Apr 29 23:34 2015", 5000),
      message("From c Thu Apr 29 23:34 2015", 3)};
  std::string file;
  for (const std::string& piece : pieces) file += piece;
  for (size_t chunk : {file.size(), size_t{1000}}) {
    SCOPED_TRACE(chunk);
    ChunkSource source(file, chunk, chunk);
    MailboxReader reader(source);
    MessageBuffer buffer;
    for (size_t i = 0; i < pieces.size(); ++i) {
      SCOPED_TRACE(i);
      if (i > 0) {
        ASSERT_TRUE(reader.isAtNextMessage());
        reader.startNextMessage();
      }
      buffer.loadFrom(reader, i == 0 && chunk == file.size() ? file.size() : 0);
      MessageBuffer alone;
      loadBytes(alone, pieces[i]);
      EXPECT_EQ(linesOf(buffer), linesOf(alone));
      buffer.release();
    }
    EXPECT_FALSE(reader.isAtNextMessage());
    EXPECT_LE(source.scatteredReads, 1);
  }
}

// A file that is not a mailbox costs what it costs without the reader: the
// same reads of the file, a scattered one where the loader asks for it.
TEST(MailboxReaderTest, OtherFilesAreReadByTheFilesOwnReads) {
  std::string file = "Received: from b.example\n\n";
  while (file.size() < 20000) file += "From a Thu Apr 29 23:34 2015\n\n";
  for (std::uint64_t size : {std::uint64_t{0}, std::uint64_t{file.size()}}) {
    SCOPED_TRACE(size);
    ChunkSource direct(file, 8192, 8192);
    MessageBuffer want;
    want.loadFrom(direct, size);
    ChunkSource source(file, 8192, 8192);
    MailboxReader reader(source);
    MessageBuffer got;
    got.loadFrom(reader, size);
    EXPECT_EQ(linesOf(got), linesOf(want));
    EXPECT_EQ(source.reads, direct.reads);
    EXPECT_EQ(source.scatteredReads, direct.scatteredReads);
    EXPECT_FALSE(reader.isAtNextMessage());
  }
  // A first line that the first read leaves open is read whole before the
  // file is judged; what that took comes first, then the file's own reads.
  file = "From: a@b.example\n\n" + file + file + file + file;
  ChunkSource source(file, 3, 8192);
  MailboxReader reader(source);
  MessageBuffer got;
  got.loadFrom(reader);
  MessageBuffer want;
  loadBytes(want, file);
  EXPECT_EQ(linesOf(got), linesOf(want));
  EXPECT_FALSE(reader.isAtNextMessage());
}

}  // namespace
