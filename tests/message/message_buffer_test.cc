#include "message/message_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "test_util.h"

namespace {

// A UTF-16 file: the byte-order mark, then `units` in that byte order.
std::string utf16File(std::u16string_view units, bool isBigEndian) {
  std::string bytes = isBigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t u : units) {
    const auto low = static_cast<char>(u & 0xFF);
    const auto high = static_cast<char>(u >> 8);
    bytes.push_back(isBigEndian ? high : low);
    bytes.push_back(isBigEndian ? low : high);
  }
  return bytes;
}

std::string utf16le(std::u16string_view units) {
  return utf16File(units, false);
}

TEST(MessageBufferTest, LoadKeepsBytesDropsMarksAndConvertsUtf16) {
  const std::string full(8192, 'x');
  std::string twoByteChars;
  for (int i = 0; i < 10000; ++i) twoByteChars += "\xC3\xA9";
  struct Case {
    const char* name;
    std::string file;
    std::string want;
    std::vector<int> wantLengths;
  } cases[] = {
      {"EmptyFile", "", "", {}},
      {"OnlyUtf16Mark", "\xFF\xFE", "", {}},
      {"OnlyUtf8Mark", "\xEF\xBB\xBF", "", {}},
      {"Exactly8192Bytes", full, full, {8192}},
      {"Exactly8193Bytes", full + "y", full + "y", {8192, 1}},
      {"Utf8MarkThenFullBlock", "\xEF\xBB\xBF" + full, full, {8189, 3}},
      {"Utf8MarkKeptAfterStart", "a\xEF\xBB\xBF", "a\xEF\xBB\xBF", {4}},
      {"Utf16LittleEndian", utf16le(u"a\u00e9\r\n"), "a\xC3\xA9\r\n", {5}},
      {"Utf16BigEndian", std::string("\xFE\xFF\0a\0\xE9", 6), "a\xC3\xA9", {3}},
      {"Utf16UnpairedSurrogates",
       utf16le(u"\xDC00z\xD800"),
       "\xEF\xBF\xBDz\xEF\xBF\xBD",
       {7}},
      {"Utf16OddTrailingByteIgnored", utf16le(u"ab") + "c", "ab", {2}},
      // The mark and 4095 units fill the first read; its last unit is a high
      // surrogate whose partner opens the second read.
      {"Utf16PairSplitAcrossReads",
       utf16le(std::u16string(4094, u'a') + u"\xD83D\xDE00!"),
       std::string(4094, 'a') + "\xF0\x9F\x98\x80!",
       {4099}},
      {"Utf16SpillsOverBlocks",
       utf16le(std::u16string(10000, u'\u00e9')),
       twoByteChars,
       {8192, 8192, 3616}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MessageBuffer buffer;
    loadBytes(buffer, c.file);
    std::string got;
    std::vector<int> lengths;
    for (const BufferBlock* b = buffer.first; b != nullptr; b = b->next) {
      EXPECT_EQ(std::string(b->data.get() + b->length, 4), std::string(4, 0));
      lengths.push_back(b->length);
      got.append(b->data.get(), b->length);
    }
    EXPECT_TRUE(got == c.want)
        << "got " << got.size() << " bytes, want " << c.want.size() << ": \""
        << got.substr(0, 9) << "\"";
    EXPECT_EQ(lengths, c.wantLengths);
  }
}

// The text of every block, joined, and the block lengths.
std::string joinedText(const MessageBuffer& buffer, std::vector<int>* lengths) {
  std::string text;
  for (const BufferBlock* b = buffer.first; b != nullptr; b = b->next) {
    text.append(b->data.get(), b->length);
    if (lengths != nullptr) lengths->push_back(b->length);
  }
  return text;
}

// A size known from the open stops the reading there: a file that grew
// since is taken as it was, and 0 means "read to the end".
TEST(MessageBufferTest, KnownSizeEndsTheReading) {
  ScratchDir dir;
  std::string text(3 * 8192 + 100, 'a');
  for (size_t i = 0; i < text.size(); i += 61) text[i] = '\n';
  dir.write("m.eml", text);
  const std::string mark = "\xFF\xFE";
  dir.write("u.eml", mark + std::string("a\0b\0c\0", 6));
  // Read ahead whole, then converted block by block.
  std::string units;
  for (int i = 0; i < 5000; ++i) units += std::string("a\0", 2);
  dir.write("w.eml", mark + units);
  struct Case {
    const char* file;
    std::uint64_t size;
    size_t wantLength;  // of the text, from the start
    std::vector<int> wantLengths;
  } cases[] = {
      {"m.eml", 0, text.size(), {8192, 8192, 8192, 100}},
      {"m.eml", text.size(), text.size(), {8192, 8192, 8192, 100}},
      {"m.eml", 8192, 8192, {8192}},
      {"m.eml", 8193, 8193, {8192, 1}},
      {"m.eml", 100, 100, {100}},
      {"m.eml", 1u << 30, text.size(), {8192, 8192, 8192, 100}},
      {"u.eml", 6, 2, {2}},  // the mark and two units
      {"w.eml", 10002, 5000, {5000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " size " + std::to_string(c.size));
    std::FILE* file = std::fopen((dir.path() / c.file).string().c_str(), "rb");
    ASSERT_NE(file, nullptr);
    MessageBuffer buffer;
    EXPECT_TRUE(buffer.loadFrom(file, c.size));
    std::fclose(file);
    std::vector<int> lengths;
    std::string got = joinedText(buffer, &lengths);
    if (std::string(c.file) == "m.eml") {
      EXPECT_TRUE(got == text.substr(0, c.wantLength)) << got.size();
    } else if (std::string(c.file) == "w.eml") {
      EXPECT_EQ(got, std::string(c.wantLength, 'a'));
    } else {
      EXPECT_EQ(got, std::string("ab").substr(0, c.wantLength));
    }
    EXPECT_EQ(lengths, c.wantLengths);
  }
}

#ifndef _WIN32
// With the size known, the last read asks for exactly what is left, so no
// read is left over to find the end: on a pipe that stays open, one more
// read would fail (non-blocking) and mark the stream.
TEST(MessageBufferTest, KnownSizeSparesTheReadThatFindsTheEnd) {
  for (size_t size : {size_t{10}, size_t{8192}, size_t{8192 + 10}}) {
    SCOPED_TRACE(size);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    std::string bytes(size, 'q');
    ASSERT_EQ(write(ends[1], bytes.data(), size), static_cast<ssize_t>(size));
    std::FILE* file = fdopen(ends[0], "rb");
    std::setvbuf(file, nullptr, _IONBF, 0);
    MessageBuffer buffer;
    buffer.loadFrom(file, size);
    EXPECT_FALSE(std::ferror(file));
    EXPECT_EQ(joinedText(buffer, nullptr), bytes);
    std::fclose(file);
    close(ends[1]);
  }
}
#endif

// A source that hands out a few bytes per read, as a pipe does, and then
// fails: the pieces are joined into whole blocks, and the failure ends the
// text.
TEST(MessageBufferTest, ShortReadsFillWholeBlocksAndAFailureEndsTheText) {
  struct Trickle final : ByteSource {
    std::string bytes = std::string(8192 + 10, 'p');
    size_t at = 0;
    std::ptrdiff_t read(char* data, std::size_t want) override {
      if (at == bytes.size()) return -1;
      size_t n = std::min({want, size_t{1000}, bytes.size() - at});
      std::memcpy(data, bytes.data() + at, n);
      at += n;
      return static_cast<std::ptrdiff_t>(n);
    }
  } source;
  MessageBuffer buffer;
  EXPECT_TRUE(buffer.loadFrom(source));
  std::vector<int> lengths;
  EXPECT_EQ(joinedText(buffer, &lengths), source.bytes);
  EXPECT_EQ(lengths, (std::vector<int>{8192, 10}));
  // With the size known the file is read ahead into the blocks' areas, the
  // same pieces at a time; one that says it is larger than it turns out to
  // be ends where its bytes end.
  for (std::uint64_t size : {8192 + 10, 3 * 8192}) {
    source.at = 0;
    buffer.release();
    EXPECT_TRUE(buffer.loadFrom(source, size));
    lengths.clear();
    EXPECT_EQ(joinedText(buffer, &lengths), source.bytes);
    EXPECT_EQ(lengths, (std::vector<int>{8192, 10}));
  }
}

// Released data areas are handed to later loads with whatever they held:
// four zero bytes must still end the text, and the line feeds of the old
// text must not show in the new one's map.
TEST(MessageBufferTest, ReusedAreasShowNothingOfTheirOldText) {
  MessageBuffer buffer;
  loadBytes(buffer, std::string(20 * 8192, '\n'));
  buffer.release();
  for (const std::string& text :
       {std::string("ab"), std::string(100, 'c') + "\nd"}) {
    loadBytes(buffer, text);
    ASSERT_NE(buffer.first, nullptr);
    const char* data = buffer.first->data.get();
    EXPECT_EQ(std::string(data, text.size()), text);
    EXPECT_EQ(std::string(data + text.size(), 4), std::string(4, '\0'));
    std::vector<std::string> lines;
    BufferPosition position = buffer.start();
    std::string_view line;
    std::string joined;
    while (buffer.readLineView(position, line, joined))
      lines.emplace_back(line);
    std::vector<std::string> want;
    for (std::size_t from = 0; from <= text.size();) {
      const std::size_t feed = std::min(text.find('\n', from), text.size());
      want.push_back(text.substr(from, feed - from));
      from = feed + 1;
    }
    EXPECT_EQ(lines, want) << text;
    buffer.release();
  }
}

// Debug and AddressSanitizer builds free every released data area, so that
// a read through a view of a released buffer is reported instead of reading
// whatever a later load put in the area; other builds keep areas for reuse.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MAILVANE_TEST_ADDRESS_SANITIZER 1
#endif
#endif
TEST(MessageBufferTest, ReleasedAreasAreKeptOnlyInReleaseBuildsWithoutAsan) {
#if defined(__SANITIZE_ADDRESS__) || \
    defined(MAILVANE_TEST_ADDRESS_SANITIZER) || !defined(NDEBUG)
  constexpr bool isChecked = true;
#else
  constexpr bool isChecked = false;
#endif
  const std::string threeBlocks(2 * 8192 + 100, 'x');
  MessageBuffer buffer;
  loadBytes(buffer, threeBlocks);
  buffer.release();
  const std::size_t kept = MessageBuffer::spareAreaCount();
  if (isChecked) {
    EXPECT_EQ(kept, 0u);
  } else {
    ASSERT_GE(kept, 3u);
    loadBytes(buffer, threeBlocks);
    EXPECT_EQ(MessageBuffer::spareAreaCount(), kept - 3);
  }
}

// The text of a UTF-16 file is converted read by read (8192 bytes, the
// first holding the mark) and appended into 8192-byte blocks, each append
// extending the line-feed map from where the text stood. Line feeds at the
// last and first characters of every read and at the last and first bytes
// of every block, with one-, two- and four-byte characters and a mix between
// them so that the seams fall at other places within the map's words, must
// give the lines of the same text loaded as UTF-8.
TEST(MessageBufferTest, Utf16LinesAtReadAndBlockSeamsMatchUtf8) {
  constexpr int kUnitsPerRead = 8192 / 2;
  struct Filler {
    const char* name;
    std::u16string_view units;
    std::string_view utf8;
  } fillers[] = {
      {"OneByte", u"a", "a"},
      {"TwoBytes", u"\u00e9", "\xC3\xA9"},
      {"FourBytes", u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
      {"OneAndTwoBytes", u"a\u00e9", "a\xC3\xA9"},
  };
  for (const Filler& filler : fillers) {
    std::u16string units;
    std::string utf8;
    while (units.size() < 4 * kUnitsPerRead) {
      // Where the next unit falls within its read (the mark is unit -1),
      // and the next byte within its block.
      const std::size_t inRead = (units.size() + 1) % kUnitsPerRead;
      const std::size_t inBlock = utf8.size() % 8192;
      const bool isReadSeam = inRead >= kUnitsPerRead - 2 || inRead == 0;
      const bool isBlockSeam = inBlock >= 8192 - 4 || inBlock == 0;
      if (isReadSeam || isBlockSeam) {
        units += u'\n';
        utf8 += '\n';
      } else {
        units += filler.units;
        utf8 += filler.utf8;
      }
    }
    MessageBuffer wanted;
    loadBytes(wanted, utf8);
    std::vector<std::string> want;
    std::string line;
    for (BufferPosition at = wanted.start(); wanted.readTextLine(at, line);)
      want.push_back(line);
    for (bool isBigEndian : {false, true}) {
      SCOPED_TRACE(std::string(filler.name) + (isBigEndian ? " BE" : " LE"));
      MessageBuffer buffer;
      loadBytes(buffer, utf16File(units, isBigEndian));
      std::vector<std::string> copied;
      for (BufferPosition at = buffer.start(); buffer.readTextLine(at, line);)
        copied.push_back(line);
      EXPECT_EQ(copied, want);
      std::vector<std::string> viewed;
      std::string_view view;
      std::string joined;
      for (BufferPosition at = buffer.start();
           buffer.readLineView(at, view, joined);)
        viewed.emplace_back(view);
      EXPECT_EQ(viewed.size(), want.size());
      for (std::size_t i = 0; i < viewed.size() && i < want.size(); ++i) {
        if (viewed[i] != want[i]) {
          ADD_FAILURE() << "line " << i << ": got " << viewed[i].size()
                        << " bytes, want " << want[i].size();
          break;
        }
      }
    }
  }
}

TEST(MessageBufferTest, ReadLineCutsLongLinesAndCarriesPositions) {
  MessageBuffer buffer;
  loadBytes(buffer, std::string(5000, 'x') + "\n" + std::string(9000, 'y'));
  char line[MessageBuffer::kLineAreaSize];
  BufferPosition pos = buffer.start();
  std::vector<int> counts;
  int count;
  while ((count = buffer.readLine(pos, line, &pos)) > 0)
    counts.push_back(count);
  EXPECT_EQ(counts, (std::vector<int>{4095, 906, 4095, 4095, 810}));
  EXPECT_EQ(pos.block, nullptr);
  EXPECT_EQ(pos.offset, 0);

  BufferPosition past{buffer.first, 9000};  // offset 808 of the second block
  EXPECT_EQ(buffer.readLine(past, line, &past), 4095);
  EXPECT_EQ(past.block, buffer.first->next);
  EXPECT_EQ(past.offset, 808 + 4095);
  EXPECT_EQ(buffer.readLine(buffer.start(), nullptr, nullptr), -1);
  EXPECT_EQ(buffer.readLine({buffer.first, -1}, line, nullptr), -1);
}

// readTextLine, and readLineView (which copies only lines that cross a block
// edge), against readLine's pieces.
TEST(MessageBufferTest, ReadTextLineMatchesJoinedReadLinePieces) {
  // Lines of lengths around the piece size and the block size, so that many
  // cross block edges, with CR LF, a doubled CR and a zero byte.
  std::string text;
  for (int length : {0, 1, 4094, 4095, 4096, 8190, 8191, 8192, 8193, 12000}) {
    text += std::string(length, static_cast<char>('a' + length % 26));
    text += "\r\n" + std::string("mid\0dle\r\r\n", 10);
  }
  text += std::string(5000, 'z');  // no final line feed

  MessageBuffer buffer;
  loadBytes(buffer, text);
  BufferPosition byPieces = buffer.start();
  BufferPosition byLines = buffer.start();
  BufferPosition byViews = buffer.start();
  char area[MessageBuffer::kLineAreaSize];
  std::string line;
  std::string_view view;
  std::string joined;
  for (int n = 0;; ++n) {
    SCOPED_TRACE("line " + std::to_string(n));
    // Pieces joined up to the line feed; a zero byte ends the line's text.
    std::string want;
    bool hasWant = false;
    bool isCut = false;
    int count;
    while ((count = buffer.readLine(byPieces, area, &byPieces)) > 0) {
      hasWant = true;
      if (!isCut) want.append(area);
      isCut = isCut || std::strlen(area) < static_cast<size_t>(count);
      if (area[count - 1] == '\n' || count < MessageBuffer::kMaxLinePiece) {
        break;
      }
    }
    if (!want.empty() && want.back() == '\n') want.pop_back();
    if (!want.empty() && want.back() == '\r') want.pop_back();

    bool hasLine = buffer.readTextLine(byLines, line);
    ASSERT_EQ(hasLine, hasWant);
    EXPECT_EQ(line, want);
    EXPECT_EQ(byLines.block, byPieces.block);
    EXPECT_EQ(byLines.offset, byPieces.offset);
    ASSERT_EQ(buffer.readLineView(byViews, view, joined), hasWant);
    EXPECT_EQ(view, want);
    EXPECT_EQ(byViews.block, byPieces.block);
    EXPECT_EQ(byViews.offset, byPieces.offset);
    if (!hasLine) break;
  }
}

}  // namespace
