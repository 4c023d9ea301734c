// The /pattern/flags convention and the pattern object: its start-up and
// which search serves each rule.

#include "analysis/patterns.h"

#include <algorithm>
#include <cstring>

#include "message/ascii_text.h"

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

// The pattern `text` compiled without its absence tail, when it ends in that
// top-level alternative and ignores letter case as the tail test does; an
// empty pattern otherwise.
boost::regex withoutAbsenceTail(std::string_view text) {
  std::string body = patternBody(text);
  PatternFlags flags = patternFlags(text, boost::regex::perl);
  if ((flags & boost::regex::icase) == 0 ||
      body.size() <= kAbsenceTail.size() || !body.ends_with(kAbsenceTail)) {
    return boost::regex();
  }
  body.resize(body.size() - kAbsenceTail.size());
  return boost::regex(body, flags);
}

// The alternatives of the group that opens `body` when that group is a
// top-level alternative of its own and every one of them is plain text
// (letters, digits, blanks and colons, which stand for themselves); ""
// otherwise.
std::string leadingWordGroup(std::string_view body) {
  if (!body.starts_with('(')) return std::string();
  const std::size_t close = body.find(')');
  if (close == std::string_view::npos || close < 2 ||
      (close + 1 < body.size() && body[close + 1] != '|')) {
    return std::string();
  }
  const std::string_view words = body.substr(1, close - 1);
  bool isWordStart = true;
  for (char c : words) {
    const bool isPlain = isAsciiAlnum(c) || c == ' ' || c == ':';
    if (c == '|' ? isWordStart : !isPlain) return std::string();
    isWordStart = c == '|';
  }
  if (isWordStart) return std::string();
  return std::string(words);
}

// "A|B" matches somewhere exactly when A or B does, so a pattern ending in
// the absence tail is searched as its head plus the linear tail test.
bool matchesWithTail(std::string_view text, const boost::regex& whole,
                     const boost::regex& head) {
  thread_local ViewMatch match;  // kept: see ViewMatch
  if (head.empty()) {
    return boost::regex_search(text.begin(), text.end(), match, whole);
  }
  return hasAbsenceBeforeOffice(text) ||
         boost::regex_search(text.begin(), text.end(), match, head);
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
  if (isPrefiltered_) buildPrefilters();
}

void Mailvane::buildPrefilters() {
  // The prefilters see each pattern exactly as it was compiled.
  auto asCompiled = [](std::string_view text, PatternFlags base) {
    return PhrasePrefilter::Pattern{patternBody(text),
                                    patternFlags(text, base)};
  };
  const PatternFlags icase = boost::regex::perl | boost::regex::icase;
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
  std::vector<PhrasePrefilter::Pattern> subjectPatterns;
  for (const char* row : AutoReplySubjectPatterns) {
    subjectPatterns.push_back(asCompiled(row, icase));
  }
  // In the order of the k...SubjectCandidate indexes.
  for (std::size_t global : {0, 5}) {
    subjectPatterns.push_back(asCompiled(kGlobalPatternTexts[global], perl));
  }
  const PatternText bounceText = asCompiled(kGlobalPatternTexts[0], perl);
  bounceSubjectWords_ = leadingWordGroup(bounceText.text);
  PatternCandidates wordSets;
  if (!bounceSubjectWords_.empty()) {
    subjectPatterns.push_back({bounceSubjectWords_, bounceText.flags});
    wordSets.add(kBounceSubjectWordCandidate);
  }
  subjectFilter_ = PhrasePrefilter(subjectPatterns, wordSets);
  isBounceSubjectWordExact_ =
      !bounceSubjectWords_.empty() &&
      subjectFilter_.isExact(kBounceSubjectWordCandidate);
  std::vector<PhrasePrefilter::Pattern> headerPatterns;
  for (std::size_t global : {1, 2, 3, 4}) {
    headerPatterns.push_back(asCompiled(kGlobalPatternTexts[global], perl));
  }
  headerFilter_ = PhrasePrefilter(headerPatterns);
  gappedRows_.resize(kStatusPhraseRowCount);
  for (std::size_t i = 0; i < kStatusPhraseRowCount; ++i) {
    GappedPhrase phrase;
    if (GappedPhrase::parse(StatusPhraseTable[i].pattern, phrase)) {
      gappedRows_[i] = std::make_unique<GappedPhrase>(std::move(phrase));
    }
  }
  bounceSubjectHead_ = withoutAbsenceTail(kGlobalPatternTexts[0]);
  autoReplySubjectHead_ = withoutAbsenceTail(kGlobalPatternTexts[5]);
  // The linear search ignores letter case, as the pattern must.
  const std::string_view replyCode = kGlobalPatternTexts[15];
  isReplyCodeLinear_ =
      (patternFlags(replyCode, perl) & boost::regex::icase) != 0 &&
      ReplyCodeRefusal::parse(patternBody(replyCode), replyCodeRefusal_);
  buildHandScans();
}

void Mailvane::buildHandScans() {
  StatusCodeScan statusCodeScan(kGlobalPatternTexts[7], kGlobalPatternTexts[8],
                                kGlobalPatternTexts[9],
                                kGlobalPatternTexts[10]);
  if (statusCodeScan.isEngaged()) statusCodeScan_ = statusCodeScan;
  AddressScan addressScan(kGlobalPatternTexts[6]);
  if (addressScan.isEngaged()) addressScan_ = addressScan;
}

Mailvane::~Mailvane() = default;

bool Mailvane::matchesBounceSubject(std::string_view text) const {
  return matchesWithTail(text, bounceSubject, bounceSubjectHead_);
}

bool Mailvane::matchesBounceSubject(std::string_view text,
                                    const PatternCandidates& candidates) const {
  if (isBounceSubjectWordExact_ &&
      candidates.has(kBounceSubjectWordCandidate)) {
    return true;
  }
  return matchesBounceSubject(text);
}

bool Mailvane::matchesAutoReplySubject(std::string_view text) const {
  return matchesWithTail(text, autoReplySubject, autoReplySubjectHead_);
}

bool Mailvane::matchesHeaderRule(HeaderRule rule, std::string_view text) const {
  const auto index = static_cast<std::size_t>(rule);
  if (isPrefiltered_ && !headerFilter_.candidates(text).has(index)) {
    return false;
  }
  const boost::regex* const patterns[] = {&precedenceAutoReply, &postmasterFrom,
                                          &feedbackReportType, &xLoopScomp};
  thread_local ViewMatch match;  // kept: see ViewMatch
  return boost::regex_search(text.begin(), text.end(), match, *patterns[index]);
}

bool Mailvane::searchReplyCodeAtStart(std::string_view line,
                                      ViewMatch& match) const {
  if (!isReplyCodeLinear_) {
    return boost::regex_search(line.begin(), line.end(), match,
                               replyCodeAtStart);
  }
  std::size_t start = replyCodeRefusal_.find(line);
  if (start == std::string_view::npos) return false;
  // The library matches from there, so the groups are its own; only the
  // start is given. The byte before it decides whether "^" holds.
  auto flags = boost::match_continuous;
  if (start > 0) flags |= boost::match_prev_avail;
  if (boost::regex_search(line.begin() + static_cast<std::ptrdiff_t>(start),
                          line.end(), match, replyCodeAtStart, flags)) {
    return true;
  }
  return boost::regex_search(line.begin(), line.end(), match, replyCodeAtStart);
}

std::string Mailvane::matchStatusPhrase(std::string_view line) const {
  return matchStatusPhrase(line, lineCandidates(line));
}

// Rows outside `candidates` cannot match, so trying only the others, still
// in table order, finds the same first row as trying them all.
std::string Mailvane::matchStatusPhrase(
    std::string_view line, const PatternCandidates& candidates) const {
  thread_local ViewMatch match;  // kept: see ViewMatch
  for (std::size_t i = candidates.next(0); i < kStatusPhraseRowCount;
       i = candidates.next(i + 1)) {
    // Only the prefiltered object has gapped rows; they capture nothing.
    if (!gappedRows_.empty() && gappedRows_[i] != nullptr) {
      if (gappedRows_[i]->matches(line)) return StatusPhraseTable[i].status;
      continue;
    }
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

PatternCandidates Mailvane::subjectCandidates(std::string_view subject) const {
  if (!isPrefiltered_) {
    return PatternCandidates::firstN(kAutoReplySubjectCandidate + 1);
  }
  return subjectFilter_.candidates(subject);
}

bool Mailvane::mayHoldAddress(std::string_view line) const {
  return !isPrefiltered_ || !addressFilter_.candidates(line).empty();
}

bool Mailvane::findStatusCode(std::string_view text, std::string_view& code,
                              std::string_view& rest, bool& isDotted) const {
  if (statusCodeScan_) {
    return statusCodeScan_->findStatusCode(text, code, rest, isDotted);
  }
  thread_local ViewMatch match;  // kept: see ViewMatch
  isDotted = boost::regex_search(text.begin(), text.end(), match, statusDotted);
  if (!isDotted &&
      !boost::regex_search(text.begin(), text.end(), match, statusThreeDigit)) {
    return false;
  }
  // Pattern 11's groups 1 to 3 are one digit each, side by side.
  code = std::string_view(match[1].first, isDotted ? match[1].length() : 3);
  const auto& last = match[isDotted ? 2 : 4];
  rest = std::string_view(last.first, static_cast<std::size_t>(last.length()));
  return true;
}

bool Mailvane::findDiagnosticCode(std::string_view text,
                                  std::string_view& code) const {
  if (statusCodeScan_) return statusCodeScan_->findDiagnosticCode(text, code);
  thread_local ViewMatch match;  // kept: see ViewMatch
  if (!boost::regex_search(text.begin(), text.end(), match, diagnosticDotted) &&
      !boost::regex_search(text.begin(), text.end(), match,
                           diagnosticThreeDigit)) {
    return false;
  }
  code = std::string_view(match[1].first,
                          static_cast<std::size_t>(match[1].length()));
  return true;
}

bool Mailvane::findAddress(std::string_view line,
                           std::string_view& address) const {
  if (addressScan_) return addressScan_->find(line, address);
  if (!mayHoldAddress(line)) return false;
  thread_local ViewMatch match;  // kept: see ViewMatch
  if (!boost::regex_search(line.begin(), line.end(), match, emailAddress)) {
    return false;
  }
  address = std::string_view(match[0].first,
                             static_cast<std::size_t>(match[0].length()));
  return true;
}

bool Mailvane::findAddressFrom(std::string_view line, std::size_t from,
                               std::string_view& address) const {
  if (from == 0) return findAddress(line, address);
  if (from >= line.size()) return false;
  // The library's own answer: the byte before `from` decides "\b" there.
  thread_local ViewMatch match;  // kept: see ViewMatch
  if (!boost::regex_search(line.begin() + static_cast<std::ptrdiff_t>(from),
                           line.end(), match, emailAddress,
                           boost::match_prev_avail)) {
    return false;
  }
  address = std::string_view(match[0].first,
                             static_cast<std::size_t>(match[0].length()));
  return true;
}

bool Mailvane::findAddressInLine(std::string_view line,
                                 std::vector<std::string>& out) const {
  std::string_view address;
  if (!findAddress(line, address)) return false;
  out.emplace_back(address);
  return true;
}

bool Mailvane::findFirstAddress(const TextLines& lines,
                                std::vector<std::string>& out) const {
  for (std::string_view line : lines) {
    if (findAddressInLine(line, out)) return true;
  }
  return false;
}

std::vector<Mailvane::FastPath> Mailvane::fastPaths() const {
  return {
      {"line prefilter", isPrefiltered_},
      {"bounce subject absence tail", !bounceSubjectHead_.empty()},
      {"auto-reply subject absence tail", !autoReplySubjectHead_.empty()},
      {"bounce subject words", isBounceSubjectWordExact_},
      {"reply code at line start", isReplyCodeLinear_},
      {"status-code scan", statusCodeScan_.has_value()},
      {"address scan", addressScan_.has_value()},
      {"gapped phrase rows",
       std::any_of(gappedRows_.begin(), gappedRows_.end(),
                   [](const auto& row) { return row != nullptr; })},
  };
}

LineTest::LineTest(const Mailvane& patterns, std::string_view line)
    : patterns_(patterns),
      line_(line),
      candidates_(patterns.lineCandidates(line)) {}

bool LineTest::matches(LineRule rule, ViewMatch& match) const {
  const auto search = [&](std::size_t candidate, const boost::regex& pattern) {
    return candidates_.has(candidate) &&
           boost::regex_search(line_.begin(), line_.end(), match, pattern);
  };
  switch (rule) {
    case LineRule::kAddress:
      return search(Mailvane::kAddressCandidate, patterns_.emailAddress);
    case LineRule::kDottedCode:
      return search(Mailvane::kDottedCandidate, patterns_.freeTextDotted);
    case LineRule::kReplyAfterColon:
      return search(Mailvane::kReplyAfterColonCandidate,
                    patterns_.replyCodeAfterColon);
    case LineRule::kReplyAtStart:
      return candidates_.has(Mailvane::kReplyAtStartCandidate) &&
             patterns_.searchReplyCodeAtStart(line_, match);
  }
  return false;
}

bool LineTest::matches(LineRule rule) const {
  if (rule == LineRule::kAddress) {
    std::string_view address;
    return candidates_.has(Mailvane::kAddressCandidate) &&
           patterns_.findAddress(line_, address);
  }
  thread_local ViewMatch match;  // kept: see ViewMatch
  return matches(rule, match);
}

std::string LineTest::statusPhrase() const {
  return patterns_.matchStatusPhrase(line_, candidates_);
}
