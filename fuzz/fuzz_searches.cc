// The searches that stand in for plain library searches: the subject
// patterns with their linear absence test, the reply code located before the
// library matches from it, and the phrase table with its prefilter and its
// gapped rows. Each must answer as the plain search does.
//
// Checks, on the input taken as one subject or line (its first 4096 bytes, so
// the plain searches stay cheap): matchesBounceSubject and
// matchesAutoReplySubject equal a search for the whole pattern;
// searchReplyCodeAtStart finds the same match and group as a search for
// pattern 16; matchStatusPhrase equals that of an object that tries every
// row in table order. A regex library error in a plain search skips the
// comparison it belongs to.

#include <boost/regex.hpp>
#include <cstdint>
#include <string>

#include "analysis/patterns.h"
#include "fuzz_support.h"

namespace {

const Mailvane& reference() {
  static const Mailvane rowByRow(false);
  return rowByRow;
}

void checkSubject(std::string_view text) {
  const Mailvane& patterns = mailvane();
  try {
    const bool bounce =
        boost::regex_search(text.begin(), text.end(), patterns.bounceSubject);
    FUZZ_CHECK(patterns.matchesBounceSubject(text) == bounce, text);
  } catch (const boost::regex_error&) {
  }
  try {
    const bool autoReply = boost::regex_search(text.begin(), text.end(),
                                               patterns.autoReplySubject);
    FUZZ_CHECK(patterns.matchesAutoReplySubject(text) == autoReply, text);
  } catch (const boost::regex_error&) {
  }
}

void checkReplyCode(std::string_view line) {
  const Mailvane& patterns = mailvane();
  ViewMatch want;
  bool isFound = false;
  try {
    isFound = boost::regex_search(line.begin(), line.end(), want,
                                  patterns.replyCodeAtStart);
  } catch (const boost::regex_error&) {
    return;
  }
  ViewMatch got;
  FUZZ_CHECK(patterns.searchReplyCodeAtStart(line, got) == isFound, line);
  if (!isFound) return;
  FUZZ_CHECK(got[0].first == want[0].first && got[0].second == want[0].second,
             line);
  FUZZ_CHECK(got.str(1) == want.str(1), line);
}

void checkPhrase(std::string_view line) {
  std::string want;
  try {
    want = reference().matchStatusPhrase(line);
  } catch (const boost::regex_error&) {
    return;
  }
  FUZZ_CHECK(mailvane().matchStatusPhrase(line) == want, line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = asText(data, size);
  text = text.substr(0, 4096);
  checkSubject(text);
  checkReplyCode(text);
  checkPhrase(text);
  return 0;
}
