// The analysis flow: reset, parse, classify, then the first applicable
// result branch. The branches live in feedback_report.cc,
// delivery_status.cc and free_text.cc; the auto-reply branch is here.

#include "analysis/message_analysis.h"

namespace {

// The verdicts and the delivery-status and free-text branches read no part
// after the second, so the body is read that far first; the feedback and
// auto-reply branches read on (finishBody) when they run.
constexpr std::size_t kPartsReadFirst = 2;

}  // namespace

MessageAnalysis::MessageAnalysis(const Mailvane& patterns)
    : patterns_(patterns) {}

void MessageAnalysis::releaseMessage() {
  message.clear();
  recycleReportGroups();
  firstPartFields.clear();
  reportFields.clear();
  clearKeepingUpTo(thoroughLines_, kKeptPartLines);
  isFirstPartRead_ = false;
}

void MessageAnalysis::reset() {
  releaseMessage();
  isBounce = false;
  isFbl = false;
  isAutoResponse = false;
  isHotmailFbl = false;
  clearKeepingUpTo(originalRecipient, kKeptTextBytes);
  clearKeepingUpTo(subject, kKeptTextBytes);
  clearKeepingUpTo(recipients, kKeptRecipients);
  resultKind = ResultKind::kNone;
  subjectCandidates_ = PatternCandidates();
}

void MessageAnalysis::recycleReportGroups() {
  for (ReportFieldGroup& group : reportGroups) {
    if (spareGroups_.size() == kKeptReportGroups) break;
    group.fields.clear();
    spareGroups_.push_back(std::move(group));
  }
  reportGroups.clear();
}

void MessageAnalysis::readFirstPartFields() {
  if (isFirstPartRead_) return;
  isFirstPartRead_ = true;
  if (!message.parts.empty()) {
    parseFieldBlock(message.parts.front().lines, firstPartFields);
  }
}

void MessageAnalysis::analyse(const MessageBuffer* buffer) {
  reset();
  BufferPosition position;
  if (buffer != nullptr) position = buffer->start();
  if (!parseHeaderBlock(buffer, position, message.rootTarget())) return;
  const HeaderField* subjectField = message.root.headers.find("Subject");
  subject.assign(subjectField == nullptr
                     ? std::string_view()
                     : std::string_view(subjectField->value));
  subjectCandidates_ = patterns_.subjectCandidates(subject);
  if (!parseBody(buffer, position, message, kPartsReadFirst)) return;

  // All three verdicts are computed, in this order, whatever branch runs.
  isBounce = isBounceMessage() || (isThorough_ && isThoroughBounce());
  isFbl = isFeedbackReport();
  isAutoResponse = isAutoReply();

  if (isFbl) {
    resultKind = ResultKind::kFeedback;
    finishBody(message);
    readFirstPartFields();
    buildFeedbackResult();
    return;
  }
  // An automatic reply whose subject says so plainly concerns no recipient.
  if (subjectField != nullptr &&
      subjectCandidates_.has(Mailvane::kAutoReplySubjectCandidate) &&
      patterns_.matchesAutoReplySubject(subjectField->value)) {
    resultKind = ResultKind::kAutoReply;
    return;
  }
  if (isAutoResponse) {
    resultKind = ResultKind::kAutoReply;
    appendAutoReplyResult();
    return;
  }
  if (isThorough_) {
    // Every row of the thorough branches is a delivery failure's.
    resultKind = ResultKind::kBounce;
    collectThoroughRecipients();
    return;
  }
  if (isDeliveryStatusReport()) {
    resultKind = ResultKind::kBounce;
    // RFC 3464 puts the machine-readable fields in the second part; a report
    // without one yields nothing, and no free-text search stands in for it.
    if (message.parts.size() < 2) return;
    parseDeliveryStatus(message.parts[1].lines);
    collectReportRecipients();
    return;
  }
  if (message.root.headers.has("X-failed-recipients")) {
    resultKind = ResultKind::kBounce;
    collectListedRecipients();
    return;
  }
  if (isBounce) {
    resultKind = ResultKind::kBounce;
    collectAddressSearchRecipient();
  }
}

void MessageAnalysis::collectThoroughRecipients() {
  const TextLines* reportLines = thoroughReportLines();
  const bool isReport = reportLines != nullptr || isDeliveryStatusReport();
  if (reportLines != nullptr) {
    // A paragraph break written as a line of blanks is still one.
    thoroughLines_.assign(reportLines->begin(), reportLines->end());
    for (std::string_view& line : thoroughLines_) {
      if (!line.empty() &&
          line.find_first_not_of(" \t") == std::string_view::npos) {
        line = std::string_view();
      }
    }
    parseDeliveryStatus(thoroughLines_);
    thoroughLines_.clear();
    collectReportRecipients();
    if (!recipients.empty()) return;
  }
  // A report that names no recipient is still about a failure: the
  // recipient is looked for as in a free-text bounce.
  if (message.root.headers.has("X-failed-recipients")) {
    collectListedRecipients(ScanRules::kThorough);
    return;
  }
  if (isBounce || isReport) collectThoroughSearchRecipients();
}

void MessageAnalysis::appendAutoReplyResult() {
  RecipientResult result{"transient", "4.3.2", std::string()};
  result.recipient =
      stripAngleBrackets(message.root.headers.value("Return-Path"));
  if (result.recipient.empty()) {
    finishBody(message);
    std::vector<std::string> found;
    if (!patterns_.findFirstAddress(message.root.lines, found)) {
      for (const MimePart& part : message.parts) {
        if (patterns_.findFirstAddress(part.lines, found)) break;
      }
    }
    if (!found.empty()) result.recipient = std::move(found.front());
  }
  // Appended also without an address: the reply itself is the finding.
  recipients.push_back(std::move(result));
}
