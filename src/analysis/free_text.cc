// Free-text bounces: the failure is told in prose, often with an SMTP
// transcript, and the failed addresses are either listed in
// "X-failed-recipients" or have to be found in the text. The status for a
// recipient comes from scanning the body lines against the phrase table and
// a few code patterns; the action follows from the code's class digit.

#include <algorithm>
#include <boost/regex.hpp>
#include <functional>

#include "analysis/message_analysis.h"
#include "analysis/patterns.h"
#include "analysis/status_codes.h"
#include "message/ascii_text.h"

namespace {

// Where the bounced message's returned copy begins; nothing after it is
// about the failure.
constexpr std::string_view kCopyMarker = "------ This is a copy of the message";
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
  // Which test gave the status: a phrase row, or the dotted-code pattern
  // (then `dottedClass` is the code's class digit, also for a code inside a
  // Message-ID, which gives no status).
  bool isPhraseStatus = false;
  char dottedClass = '\0';
};

LineOutcome decideLine(const Mailvane& patterns, std::string_view line,
                       bool namesRecipient) {
  LineOutcome outcome;
  outcome.isDecided = true;
  if (containsIgnoreCase(line, kCopyMarker)) return outcome;
  const LineTest test(patterns, line);
  // Another address: the text now speaks of someone else.
  if (!namesRecipient && line.find(kTranscriptFrom) == std::string_view::npos &&
      test.matches(LineRule::kAddress)) {
    return outcome;
  }
  // Phrase rows first (the code-extraction rows lead the table).
  outcome.status = test.statusPhrase();
  if (!outcome.status.empty()) {
    outcome.isPhraseStatus = true;
    return outcome;
  }
  thread_local ViewMatch match;  // kept: see ViewMatch
  if (test.matches(LineRule::kDottedCode, match)) {
    outcome.dottedClass = *match[1].first;
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

// The first dotted code of class 4 or 5 in `line` that stands alone: no
// letter, digit or point just before it, and no further digit or ".digit"
// after its one to three detail digits (RFC 3463: class "." subject "."
// detail). "" when there is none.
std::string_view failureCodeIn(std::string_view line) {
  const auto isWordOrPoint = [](char c) {
    return isAsciiAlnum(c) || c == '.' || c == '_';
  };
  const std::size_t n = line.size();
  for (std::size_t i = 0; i + 5 <= n; ++i) {
    if ((line[i] != '4' && line[i] != '5') || line[i + 1] != '.' ||
        line[i + 2] < '0' || line[i + 2] > '7' || line[i + 3] != '.' ||
        !isAsciiDigit(line[i + 4]) || (i > 0 && isWordOrPoint(line[i - 1]))) {
      continue;
    }
    std::size_t end = i + 5;
    while (end < n && end < i + 7 && isAsciiDigit(line[end])) ++end;
    if (end < n && isAsciiDigit(line[end])) continue;
    if (end + 1 < n && line[end] == '.' && isAsciiDigit(line[end + 1]))
      continue;
    return line.substr(i, end - i);
  }
  return std::string_view();
}

// The two status rules the thorough reading adds to a line's outcome. A
// class-2 code says a delivery went through ("250 2.0.0 Ok") or is a version
// number ("Mailman 2.0.12"): the line decides nothing. A phrase row gives
// the status its wording usually means; a failure code beside the wording
// says what this server meant ("5.2.2 ... Mailbox full" is permanent).
void applyThoroughRules(std::string_view line, LineOutcome& outcome) {
  if (outcome.dottedClass == '2') {
    outcome = LineOutcome();
    return;
  }
  if (!outcome.isPhraseStatus) return;
  const std::string_view code = failureCodeIn(line);
  if (!code.empty()) outcome.status.assign(code);
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
                bool isMemoized, ScanRules rules = ScanRules::kWritten)
      : patterns_(patterns),
        lines_(lines),
        isMemoized_(isMemoized),
        rules_(rules) {}

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
      scratch_ = decideUnder(line, names);
      return scratch_;
    }
    // Scans stop early as a rule, so the memo grows only as far as they reach.
    if (index >= memo_.size()) memo_.resize(index + 1);
    Slot& slot = names ? memo_[index].naming : memo_[index].other;
    if (!slot.isKnown) {
      slot.outcome = decideUnder(line, names);
      slot.isKnown = true;
    }
    return slot.outcome;
  }

  // decideLine, with the thorough rules on top when the scan follows them.
  LineOutcome decideUnder(std::string_view line, bool names) {
    LineOutcome outcome = decideLine(patterns_, line, names);
    if (rules_ == ScanRules::kThorough) applyThoroughRules(line, outcome);
    return outcome;
  }

  const Mailvane& patterns_;
  const TextLines& lines_;
  const bool isMemoized_;
  const ScanRules rules_;
  std::vector<Memo> memo_;
  LineOutcome scratch_;
};

}  // namespace

std::string scanForStatus(const Mailvane& patterns, const TextLines& lines,
                          std::string_view recipient, std::size_t start,
                          ScanRules rules) {
  return StatusScanner(patterns, lines, false, rules).scan(recipient, start);
}

void MessageAnalysis::collectListedRecipients(ScanRules rules) {
  const std::string listed = message.root.headers.value("X-failed-recipients");
  // The root lines are scanned even in a multipart message, where they are
  // the text before the first boundary.
  const TextLines& lines = message.root.lines;
  const bool isMemoized = listed.find(',') != std::string::npos;
  StatusScanner scanner(patterns_, lines, isMemoized, rules);
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
  result.status = scanForStatus(patterns_, lines, result.recipient, 0);
  result.action = actionFromStatus(patterns_, result.status);
  recipients.push_back(std::move(result));
}

namespace {

// Where a notice that lists its recipients below the quoted header of the
// original message (as Exchange and GroupWise write it) starts to speak of
// them.
constexpr std::string_view kRecipientListLead =
    "did not reach the following recipient";

// The index of the first line holding kRecipientListLead, else 0.
std::size_t searchStart(const TextLines& lines) {
  static const FoldedText lead(kRecipientListLead);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lead.isIn(lines[i])) return i;
  }
  return 0;
}

// The address of a trimmed line that begins "<address>:" (qmail, Postfix's
// plain-text part, Yahoo), or "": an "@" inside, no blank or second "<".
std::string_view angleListedAddress(std::string_view line) {
  if (!line.starts_with('<')) return std::string_view();
  const std::size_t close = line.find('>');
  if (close == std::string_view::npos || close + 1 >= line.size() ||
      line[close + 1] != ':') {
    return std::string_view();
  }
  const std::string_view address = line.substr(1, close - 1);
  const std::size_t at = address.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == address.size() ||
      address.find_first_of(" \t<") != std::string_view::npos) {
    return std::string_view();
  }
  return address;
}

// Whether the addresses on this trimmed line are message identifiers or the
// envelope sender rather than mailboxes that failed.
bool isIdentifierOrSenderLine(std::string_view line) {
  return containsIgnoreCase(line, "Message-ID") ||
         containsIgnoreCase(line, "Content-ID") ||
         startsWithIgnoreCase(line, "References:") ||
         startsWithIgnoreCase(line, "In-Reply-To:") ||
         line.find(kTranscriptFrom) != std::string_view::npos;
}

bool containsAddress(const std::vector<std::string>& addresses,
                     std::string_view address) {
  for (const std::string& known : addresses) {
    if (equalsIgnoreCase(known, address)) return true;
  }
  return false;
}

}  // namespace

bool MessageAnalysis::collectAngleListedRecipients(const TextLines& lines,
                                                   std::size_t start) {
  static const FoldedText copyMarker(kCopyMarker);
  std::vector<std::string> listed;
  std::vector<std::size_t> listedAt;
  for (std::size_t i = start; i < lines.size(); ++i) {
    const std::string_view line = trimView(lines[i]);
    // The copy of the bounced message follows; its addresses are not about
    // the failure.
    if (line.starts_with("--- ") || copyMarker.isIn(line)) break;
    const std::string_view address = angleListedAddress(line);
    if (address.empty() || containsAddress(listed, address)) continue;
    listed.emplace_back(address);
    listedAt.push_back(i);
  }
  if (listed.empty()) return false;
  // One scan per recipient over the same lines, each from its own line.
  StatusScanner scanner(patterns_, lines, listed.size() > 1,
                        ScanRules::kThorough);
  for (std::size_t k = 0; k < listed.size(); ++k) {
    RecipientResult result;
    result.status = scanner.scan(listed[k], listedAt[k]);
    result.action = actionFromStatus(patterns_, result.status);
    result.recipient = std::move(listed[k]);
    recipients.push_back(std::move(result));
  }
  return true;
}

// The first address whose line is not skipped and that is not the bounce's
// own From or To address wins; when every address is skipped, the first
// one. The status is scanned from the start of the search when no address
// stands above the recipient's line, else from that line: a skipped address
// above it would end the scan as "another address".
void MessageAnalysis::collectThoroughSearchRecipients() {
  const TextLines& lines =
      message.parts.empty() ? message.root.lines : message.parts.front().lines;
  const std::size_t start = searchStart(lines);
  if (collectAngleListedRecipients(lines, start)) return;

  std::vector<std::string> own;
  for (const char* name : {"From", "To"}) {
    const std::string value = message.root.headers.value(name);
    std::string_view address;
    for (std::size_t at = 0; patterns_.findAddressFrom(value, at, address);
         at = address.data() + address.size() - value.data()) {
      own.emplace_back(address);
    }
  }
  std::string first;
  std::size_t firstAt = 0;
  std::string chosen;
  std::size_t chosenAt = 0;
  for (std::size_t i = start; i < lines.size() && chosen.empty(); ++i) {
    const std::string_view line = lines[i];
    std::string_view address;
    if (!patterns_.findAddressFrom(line, 0, address)) continue;
    if (first.empty()) {
      first = address;
      firstAt = i;
    }
    if (isIdentifierOrSenderLine(trimView(line))) continue;
    // The line's addresses left to right, past the bounce's own ones.
    while (containsAddress(own, address)) {
      const std::size_t end = address.data() + address.size() - line.data();
      if (!patterns_.findAddressFrom(line, end, address)) break;
    }
    if (!containsAddress(own, address)) {
      chosen = address;
      chosenAt = i;
    }
  }
  if (first.empty()) return;
  RecipientResult result;
  const bool isFirst = chosen.empty() || chosenAt == firstAt;
  result.recipient = chosen.empty() ? std::move(first) : std::move(chosen);
  result.status =
      scanForStatus(patterns_, lines, result.recipient,
                    isFirst ? start : chosenAt, ScanRules::kThorough);
  result.action = actionFromStatus(patterns_, result.status);
  recipients.push_back(std::move(result));
}
