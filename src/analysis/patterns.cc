// The /pattern/flags convention and the pattern object's start-up.

#include "analysis/patterns.h"

#include <cstring>

static_assert(Mailvane::kLinePatternCount <= PatternCandidates::kCapacity);

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

Mailvane::Mailvane(bool isPrefiltered)
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
      replyCodeAtStart(compilePattern(kGlobalPatternTexts[15])),
      isPrefiltered_(isPrefiltered) {
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
  if (!isPrefiltered_) return;

  // The prefilters see each pattern exactly as it was compiled above.
  auto asCompiled = [](std::string_view text, PatternFlags base) {
    return PhrasePrefilter::Pattern{patternBody(text),
                                    patternFlags(text, base)};
  };
  std::vector<PhrasePrefilter::Pattern> linePatterns;
  linePatterns.reserve(kLinePatternCount);
  for (const StatusPhraseRow& row : StatusPhraseTable) {
    linePatterns.push_back(asCompiled(row.pattern, icase));
  }
  const PatternFlags perl = boost::regex::perl;
  // In the order of the k...Candidate indexes.
  for (std::size_t global : {6, 13, 14, 15}) {
    linePatterns.push_back(asCompiled(kGlobalPatternTexts[global], perl));
  }
  lineFilter_ = PhrasePrefilter(linePatterns);
  addressFilter_ = PhrasePrefilter({asCompiled(kGlobalPatternTexts[6], perl)});
}

Mailvane::~Mailvane() = default;

std::string Mailvane::matchStatusPhrase(std::string_view line) const {
  return matchStatusPhrase(line, lineCandidates(line));
}

// Rows outside `candidates` cannot match, so trying only the others, still
// in table order, finds the same first row as trying them all.
std::string Mailvane::matchStatusPhrase(
    std::string_view line, const PatternCandidates& candidates) const {
  boost::match_results<std::string_view::const_iterator> match;
  for (std::size_t i = candidates.next(0); i < kStatusPhraseRowCount;
       i = candidates.next(i + 1)) {
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

PatternCandidates Mailvane::lineCandidates(std::string_view line) const {
  if (!isPrefiltered_) return PatternCandidates::firstN(kLinePatternCount);
  return lineFilter_.candidates(line);
}

bool Mailvane::mayHoldAddress(std::string_view line) const {
  return !isPrefiltered_ || !addressFilter_.candidates(line).empty();
}
