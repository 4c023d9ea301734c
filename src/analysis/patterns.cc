// The /pattern/flags convention and the pattern object's start-up.

#include "analysis/patterns.h"

#include <cstring>

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Position of the closing "/" of the /pattern/flags form, or npos when the
// text is a bare pattern (no leading "/", or the leading one is the only one).
std::size_t closingSlash(std::string_view text) {
  if (text.empty() || text.front() != '/') return std::string_view::npos;
  std::size_t last = text.rfind('/');
  return last == 0 ? std::string_view::npos : last;
}

}  // namespace

std::string patternBody(std::string_view text) {
  std::size_t last = closingSlash(text);
  if (last == std::string_view::npos) return std::string(text);
  return std::string(text.substr(1, last - 1));
}

PatternFlags patternFlags(std::string_view text, PatternFlags baseOptions) {
  PatternFlags flags = baseOptions;
  std::size_t last = closingSlash(text);
  if (last == std::string_view::npos) return flags;
  // Only "i" has a meaning after the closing slash; other letters are ignored.
  for (char c : text.substr(last + 1)) {
    if (c == 'i') flags |= boost::regex::icase;
  }
  return flags;
}

boost::regex compilePattern(std::string_view text, PatternFlags baseOptions) {
  return boost::regex(patternBody(text),
                      patternFlags(text, baseOptions | boost::regex::perl));
}

Mailvane::Mailvane()
    : bounceSubject(compilePattern(kGlobalPatternTexts[0])),
      precedenceAutoReply(compilePattern(kGlobalPatternTexts[1])),
      postmasterFrom(compilePattern(kGlobalPatternTexts[2])),
      feedbackReportType(compilePattern(kGlobalPatternTexts[3])),
      xLoopScomp(compilePattern(kGlobalPatternTexts[4])),
      autoReplySubject(compilePattern(kGlobalPatternTexts[5])),
      emailAddress(compilePattern(kGlobalPatternTexts[6])),
      diagnosticDotted(compilePattern(kGlobalPatternTexts[7])),
      diagnosticThreeDigit(compilePattern(kGlobalPatternTexts[8])),
      statusDotted(compilePattern(kGlobalPatternTexts[9])),
      statusThreeDigit(compilePattern(kGlobalPatternTexts[10])),
      actionFailed(compilePattern(kGlobalPatternTexts[11])),
      withheldRecipient(compilePattern(kGlobalPatternTexts[12])),
      freeTextDotted(compilePattern(kGlobalPatternTexts[13])),
      replyCodeAfterColon(compilePattern(kGlobalPatternTexts[14])),
      replyCodeAtStart(compilePattern(kGlobalPatternTexts[15])) {
  std::memset(base64Reverse, 0, sizeof base64Reverse);
  for (int k = 0; k < 64; ++k) {
    base64Reverse[static_cast<unsigned char>(kBase64Alphabet[k])] = k;
  }
  // Table rows are compiled once here rather than at each use; a row
  // compiled with the same text and options matches the same way.
  const PatternFlags icase = boost::regex::perl | boost::regex::icase;
  autoReplySubjectRows.reserve(kAutoReplySubjectPatternCount);
  for (const char* row : AutoReplySubjectPatterns) {
    autoReplySubjectRows.push_back(compilePattern(row, icase));
  }
  statusPhraseRows.reserve(kStatusPhraseRowCount);
  for (const StatusPhraseRow& row : StatusPhraseTable) {
    statusPhraseRows.push_back(compilePattern(row.pattern, icase));
  }
}

Mailvane::~Mailvane() = default;

std::string Mailvane::matchStatusPhrase(std::string_view line) const {
  boost::match_results<std::string_view::const_iterator> match;
  for (std::size_t i = 0; i < kStatusPhraseRowCount; ++i) {
    if (!boost::regex_search(line.begin(), line.end(), match,
                             statusPhraseRows[i])) {
      continue;
    }
    // A row with a capture group gives what it captured, never its filler.
    if (match.size() > 1) return match.str(1);
    return StatusPhraseTable[i].status;
  }
  return std::string();
}
