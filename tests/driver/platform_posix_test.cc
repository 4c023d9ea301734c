#include <gtest/gtest.h>

#include "driver/platform.h"
#include "test_util.h"

namespace {

// A message of several blocks is read by one readv into the blocks' own
// areas; the text and its cut into blocks are as a byte-wise read gives.
TEST(MessageFileTest, ReadsAWholeMessageIntoItsBlocks) {
  ScratchDir dir;
  std::string text(3 * 8192 + 100, 'a');
  for (std::size_t i = 0; i < text.size(); i += 61) text[i] = '\n';
  dir.write("m.eml", text);
  MessageFile file;
  ASSERT_TRUE(file.open((dir.path() / "m.eml").string(), nullptr, false));
  MessageBuffer buffer;
  ASSERT_TRUE(buffer.loadFrom(file, file.size()));
  std::string got;
  std::vector<int> lengths;
  for (const BufferBlock* block = buffer.first; block != nullptr;
       block = block->next) {
    got.append(block->data.get(), static_cast<std::size_t>(block->length));
    lengths.push_back(block->length);
  }
  EXPECT_TRUE(got == text) << got.size();
  EXPECT_EQ(lengths, (std::vector<int>{8192, 8192, 8192, 100}));
}

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
