#include "message/utf16.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Byte-exact results whichever converter the platform uses; the loader's
// own cases (marks, reads, blocks) are in message_buffer_test.cc.
TEST(Utf16Test, ConversionKeepsZerosPairsAndReplacesLoneHalves) {
  // The converter may work through long text in slices; 2^20 units puts a
  // pair across the first slice's edge.
  const std::size_t edge = std::size_t{1} << 20;
  const struct {
    const char* name;
    std::u16string units;
    std::string want;
  } cases[] = {
      {"zero unit", std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
      {"three-byte character", u"\u20ac", "\xE2\x82\xAC"},
      {"pair", u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
      {"low half before high half", u"\xDE00\xD83D",
       "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"high half at the end", u"a\xD83D", "a\xEF\xBF\xBD"},
      {"pair across a long text's slice edge",
       std::u16string(edge - 1, u'a') + u"\xD83D\xDE00",
       std::string(edge - 1, 'a') + "\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    std::string got = "kept:";
    appendUtf8FromUtf16(c.units, got);
    EXPECT_TRUE(got == "kept:" + c.want) << c.name << ": got " << got.size() - 5
                                         << " bytes, want " << c.want.size();
  }
}

}  // namespace
