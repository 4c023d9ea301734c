// Free-text bounces: the failure is told in prose, often with an SMTP
// transcript, and the failed addresses are either listed in
// "X-failed-recipients" or have to be found in the text. The status for a
// recipient comes from scanning the body lines against the phrase table and
// a few code patterns; the action follows from the code's class digit.

#include <boost/regex.hpp>

#include "analysis/message_analysis.h"
#include "analysis/patterns.h"
#include "message/ascii_text.h"

namespace {

// Where the bounced message's returned copy begins; nothing after it is
// about the failure.
constexpr std::string_view kCopyMarker = "------ This is a copy of the message";
// Pattern 7 as the address scan reads it.
constexpr std::string_view kEmailAddress =
    R"(/\b([A-Z0-9._%-]+@[A-Z0-9.-]+\.[A-Z]{2,4})\b/i)";
// The sender's address in a transcript line; such a line is no sign that the
// text has moved on to another recipient. Matched in this letter case only.
constexpr std::string_view kTranscriptFrom = "FROM:<";

// The status for a three-digit SMTP reply code found in free text. Codes
// with a conventional meaning map to it; any other code (450 included: a
// temporary failure) gives its own digits with points between them.
std::string statusFromReplyCode(std::string_view code) {
  if (code == "550" || code == "551" || code == "554") return "5.1.1";
  if (code == "452" || code == "552") return "4.2.2";
  if (code == "421") return "4.3.2";
  return dottedCode(code);
}

// What the status tests make of one trimmed line: nothing (the scan goes
// on), or a decision with a status, which is "" when the line stops the
// scan without one.
struct LineOutcome {
  bool isDecided = false;
  std::string status;
};

// `candidates` is the line's prefilter pass (LineTest::prefilterTwo).
LineOutcome decideLine(const Mailvane& patterns, std::string_view line,
                       bool namesRecipient,
                       const PatternCandidates& candidates) {
  LineOutcome outcome;
  outcome.isDecided = true;
  if (containsIgnoreCase(line, kCopyMarker)) return outcome;
  const LineTest test(patterns, line, candidates);
  // Another address: the text now speaks of someone else.
  if (!namesRecipient && line.find(kTranscriptFrom) == std::string_view::npos &&
      test.matches(LineRule::kAddress)) {
    return outcome;
  }
  // Phrase rows first (the code-extraction rows lead the table).
  outcome.status = test.statusPhrase();
  if (!outcome.status.empty()) return outcome;
  thread_local ViewMatch match;
  if (test.matches(LineRule::kDottedCode, match)) {
    // A code inside a Message-ID is no status; the line ends the scan.
    if (!containsIgnoreCase(line, "Message-ID")) outcome.status = match.str(1);
    return outcome;
  }
  if (test.matches(LineRule::kReplyAfterColon, match) ||
      test.matches(LineRule::kReplyAtStart, match)) {
    outcome.status = statusFromReplyCode(match.str(1));
    return outcome;
  }
  outcome.isDecided = false;
  return outcome;
}

// The line scan for one recipient over one list of lines.
//
// A line that names the recipient looks ahead: its own finding counts only
// when the lines after it find nothing. Unrolled, that reads: walk from
// `start`, passing over lines that neither name the recipient nor decide;
// the walk ends at the first line that decides without naming the
// recipient (its status is d), or at the end (d is ""). The result is d
// when it is not empty, otherwise the status of the last line on the way
// that names the recipient and decides with a status of its own. So each
// line is tested at most once per scan, and a long run of lines naming the
// recipient costs linear work.
//
// A line's outcome depends on the recipient only through whether the line
// names it, so when several recipients are scanned over the same lines the
// outcomes are remembered per line, once for each case.
class StatusScanner {
 public:
  StatusScanner(const Mailvane& patterns, const TextLines& lines,
                bool isMemoized)
      : patterns_(patterns), lines_(lines), isMemoized_(isMemoized) {}

  std::string scan(std::string_view recipient, std::size_t start) {
    std::string namingStatus;
    for (std::size_t i = start; i < lines_.size(); ++i) {
      std::string_view line = trimView(lines_[i]);
      const bool names = containsIgnoreCase(line, recipient);
      const LineOutcome& outcome = decide(i, line, names);
      if (names) {
        if (outcome.isDecided && !outcome.status.empty()) {
          namingStatus = outcome.status;
        }
        continue;
      }
      if (outcome.isDecided) {
        if (!outcome.status.empty()) return outcome.status;
        break;
      }
    }
    return namingStatus;
  }

 private:
  struct Slot {
    bool isKnown = false;
    LineOutcome outcome;
  };
  struct Memo {
    Slot naming;
    Slot other;
  };

  const LineOutcome& decide(std::size_t index, std::string_view line,
                            bool names) {
    if (!isMemoized_) {
      scratch_ = decideLine(patterns_, line, names, candidatesOf(index, line));
      return scratch_;
    }
    // Scans stop early as a rule, so the memo grows only as far as they reach.
    if (index >= memo_.size()) memo_.resize(index + 1);
    Slot& slot = names ? memo_[index].naming : memo_[index].other;
    if (!slot.isKnown) {
      slot.outcome =
          decideLine(patterns_, line, names, candidatesOf(index, line));
      slot.isKnown = true;
    }
    return slot.outcome;
  }

  // The prefilter pass of line `index` (trimmed: `line`). A scan nearly
  // always goes on to the next line, so the passes of short lines are made
  // two at a time, side by side, and the next line's is kept for it.
  PatternCandidates candidatesOf(std::size_t index, std::string_view line) {
    if (index == nextIndex_) return nextCandidates_;
    PatternCandidates candidates;
    const bool hasNext = index + 1 < lines_.size();
    const bool isNextWalked = LineTest::prefilterTwo(
        patterns_, line, hasNext ? trimView(lines_[index + 1]) : "", candidates,
        nextCandidates_);
    nextIndex_ = hasNext && isNextWalked ? index + 1 : kNoLine;
    return candidates;
  }

  const Mailvane& patterns_;
  const TextLines& lines_;
  const bool isMemoized_;
  std::vector<Memo> memo_;
  LineOutcome scratch_;
  static constexpr std::size_t kNoLine = static_cast<std::size_t>(-1);
  std::size_t nextIndex_ = kNoLine;
  PatternCandidates nextCandidates_;
};

}  // namespace

std::string Mailvane::scanForStatus(const TextLines& lines,
                                    const std::string& recipient,
                                    std::size_t start) const {
  return StatusScanner(*this, lines, false).scan(recipient, start);
}

bool Mailvane::findAddressInLine(std::string_view line,
                                 std::vector<std::string>& out) const {
  std::string_view address;
  if (!findAddress(line, address)) return false;
  out.emplace_back(address);
  return true;
}

void Mailvane::buildAddressScan() {
  const std::string_view text = kGlobalPatternTexts[6];
  const PatternFlags flags = patternFlags(text, boost::regex::perl);
  localBytes_ = bytesMatchedBy("[A-Z0-9._%-]", flags);
  domainBytes_ = bytesMatchedBy("[A-Z0-9.-]", flags);
  letterBytes_ = bytesMatchedBy("[A-Z]", flags);
  wordBytes_ = bytesMatchedBy(R"(\w)", flags);
  ByteSet at;
  at.set('@');
  ByteSet point;
  point.set('.');
  // The scan takes "@" and "\." for themselves, and relies on neither
  // class holding an "@": then the local part of a match lies between two
  // of them.
  isAddressScanned_ = text == kEmailAddress &&
                      bytesMatchedBy("@", flags) == at &&
                      bytesMatchedBy(R"(\.)", flags) == point &&
                      !localBytes_.test('@') && !domainBytes_.test('@');
}

// "\b([A-Z0-9._%-]+@[A-Z0-9.-]+\.[A-Z]{2,4})\b" read at each "@" in turn,
// as the library's backtracking search reads it. A match holds exactly one
// "@", so its local part is the run of local bytes before one, and the
// leftmost match starts at the first word edge in that run, at the first
// "@" whose domain part matches. The domain part is the longest run of
// domain bytes after the "@", given back from the right until a point, four,
// three or two letters and a word edge follow; the local part's start
// plays no part in that.
bool Mailvane::findAddress(std::string_view line,
                           std::string_view& address) const {
  if (!isAddressScanned_) {
    if (!mayHoldAddress(line)) return false;
    thread_local ViewMatch match;
    if (!boost::regex_search(line.begin(), line.end(), match, emailAddress)) {
      return false;
    }
    address = std::string_view(match[0].first,
                               static_cast<std::size_t>(match[0].length()));
    return true;
  }
  const std::size_t n = line.size();
  const auto isIn = [&line](const ByteSet& set, std::size_t i) {
    return set.test(static_cast<unsigned char>(line[i]));
  };
  // Whether "\b" holds before byte i: a word byte on one side only (the
  // ends of the line count as no word byte).
  const auto isWordEdge = [&](std::size_t i) {
    return (i > 0 && isIn(wordBytes_, i - 1)) != (i < n && isIn(wordBytes_, i));
  };
  for (std::size_t at = line.find('@'); at != std::string_view::npos;
       at = line.find('@', at + 1)) {
    std::size_t start = at;
    while (start > 0 && isIn(localBytes_, start - 1)) --start;
    while (start < at && !isWordEdge(start)) ++start;
    if (start == at) continue;
    std::size_t end = at + 1;
    while (end < n && isIn(domainBytes_, end)) ++end;
    // The point after at least one domain byte, from the right.
    for (std::size_t point = end + 1; point-- > at + 2;) {
      if (point >= n || line[point] != '.') continue;
      std::size_t letters = 0;
      while (letters < 4 && point + 1 + letters < n &&
             isIn(letterBytes_, point + 1 + letters)) {
        ++letters;
      }
      for (; letters >= 2; --letters) {
        const std::size_t stop = point + 1 + letters;
        if (isWordEdge(stop)) {
          address = line.substr(start, stop - start);
          return true;
        }
      }
    }
  }
  return false;
}

bool Mailvane::findFirstAddress(const TextLines& lines,
                                std::vector<std::string>& out) const {
  for (std::string_view line : lines) {
    if (findAddressInLine(line, out)) return true;
  }
  return false;
}

void MessageAnalysis::collectListedRecipients() {
  const std::string listed = message.root.headers.value("X-failed-recipients");
  // The root lines are scanned even in a multipart message, where they are
  // the text before the first boundary.
  const TextLines& lines = message.root.lines;
  const bool isMemoized = listed.find(',') != std::string::npos;
  StatusScanner scanner(patterns_, lines, isMemoized);
  std::string_view rest = listed;
  while (true) {
    std::size_t comma = rest.find(',');
    // Pieces are taken as they stand: no quoting, brackets and names kept.
    std::string recipient = trim(rest.substr(0, comma));
    if (!recipient.empty()) {
      RecipientResult result;
      result.status = scanner.scan(recipient, 0);
      result.action = actionFromStatus(patterns_, result.status);
      result.recipient = std::move(recipient);
      recipients.push_back(std::move(result));
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
}

void MessageAnalysis::collectAddressSearchRecipient() {
  const TextLines& lines =
      message.parts.empty() ? message.root.lines : message.parts.front().lines;
  std::vector<std::string> found;
  // The first address is taken whoever it belongs to, the postmaster's own
  // included.
  if (!patterns_.findFirstAddress(lines, found)) return;
  RecipientResult result;
  result.recipient = std::move(found.front());
  result.status = patterns_.scanForStatus(lines, result.recipient, 0);
  result.action = actionFromStatus(patterns_, result.status);
  recipients.push_back(std::move(result));
}
