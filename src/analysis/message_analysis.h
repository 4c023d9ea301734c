// The per-message analyser: classifies one loaded message as a bounce, a
// feedback-loop (abuse) report and/or an automatic reply, and lists, for
// every recipient concerned, an action, an RFC 3463 enhanced status code and
// the address.
//
// This is the front header of the analysis subsystem. The process holds one
// instance (messageAnalysis()), built before main after the pattern object.
// analyse() never fails on malformed input: missing headers, parts or fields
// give empty texts or no results. It lets the regex library's exceptions
// (complexity and stack limits) pass to the caller. Not re-entrant; the
// results are valid only until the next analyse() or reset().
//
// The analyser keeps its storage from message to message, within the limits
// of message/keep_limits.h; a caller reads the results where they stand and
// never needs to know how they are kept.

#ifndef MAILVANE_ANALYSIS_MESSAGE_ANALYSIS_H_
#define MAILVANE_ANALYSIS_MESSAGE_ANALYSIS_H_

#include <boost/regex.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/patterns.h"
#include "analysis/status_codes.h"
#include "message/header_fields.h"
#include "message/keep_limits.h"
#include "message/message_buffer.h"
#include "message/mime_message.h"

// What the analysis found for one recipient. `action` is "failed",
// "transient", "success", "" or a delivery-status report's own action word;
// `status` is a dotted code or ""; `recipient` is the address as found.
struct RecipientResult {
  std::string action;
  std::string status;
  std::string recipient;
};

// The result branch that ran for a message, so that a row can say what kind
// of message it comes from. A message may earn several verdicts (a feedback
// report that is also an automatic reply); only one branch makes its rows.
enum class ResultKind {
  kNone,       // no branch ran: not a report of any kind, or unreadable
  kBounce,     // a delivery-status report or a free-text bounce
  kFeedback,   // a feedback-loop (abuse) report
  kAutoReply,  // an automatic reply, also one stopped by its subject
};

// One paragraph of a delivery-status report (RFC 3464).
struct ReportFieldGroup {
  HeaderList fields;
  bool perMessage = false;    // the report's first paragraph
  bool forRecipient = false;  // a later paragraph naming a recipient
};

class MessageAnalysis {
 public:
  explicit MessageAnalysis(const Mailvane& patterns);

  // Resets the state, parses `buffer` (null: the state stays reset),
  // computes the three verdicts and runs the first applicable result branch.
  void analyse(const MessageBuffer* buffer);
  // Lets go of what was read from the buffer given to analyse(): `message`,
  // which views that buffer, `reportGroups`, `firstPartFields` and
  // `reportFields`. The results (the verdicts, `originalRecipient`,
  // `subject`, `recipients` and `resultKind`) stay until the next analyse()
  // or reset(). REQUIRES before that buffer is released or loaded again:
  // releaseMessage() or reset(), so that no view of it outlives its bytes.
  void releaseMessage();
  // Empties every field below, keeping the storage a next message can
  // reuse up to the limits of message/keep_limits.h.
  void reset();
  // Chooses the thorough reading for the messages analysed from now on:
  // further bounce signs, a report part found wherever it stands, and an
  // address search that lists every failed recipient and passes over the
  // sender's own address and message identifiers. Off by default, and
  // kept by reset(): without it the results follow the written rules.
  void setThorough(bool isThorough) { isThorough_ = isThorough; }

  // The state, in this order.
  // The lines of `message` view the caller's buffer given to analyse():
  // valid only until that buffer is released or loaded again.
  MimeMessage message;
  std::vector<ReportFieldGroup> reportGroups;
  // The first part read as fields (for the reports read here, the attached
  // message or its headers); read only when a verdict or branch needs them.
  FieldMap firstPartFields;
  FieldMap reportFields;
  bool isBounce = false;
  bool isFbl = false;
  bool isAutoResponse = false;
  bool isHotmailFbl = false;
  std::string originalRecipient;
  std::string subject;
  std::vector<RecipientResult> recipients;
  ResultKind resultKind = ResultKind::kNone;

 private:
  friend class AnalysisSteps;

  // Classification; each reads the root headers and firstPartFields.

  // Whether `pattern` (or the pattern of `rule`) matches the header
  // `headerName` or, when `paramName` is given and non-empty, that header's
  // parameter. Absent: false.
  bool headerMatches(const char* paramName, HeaderRule rule,
                     std::string_view headerName) const;
  bool headerMatches(const char* paramName, const boost::regex& pattern,
                     std::string_view headerName) const;
  // Equality of "Content-Type" (or its parameter) with `text`, ASCII letters
  // compared without regard to case.
  bool contentTypeEquals(const char* paramName, std::string_view text) const;
  bool isBounceMessage() const;
  // May set isHotmailFbl and originalRecipient.
  bool isFeedbackReport();
  bool isAutoReply() const;
  bool isDeliveryStatusReport() const;
  // The further bounce signs of the thorough reading: a From address in
  // angle brackets that begins with postmaster or mailer-daemon, whatever
  // name stands before it, and more failure wording in the subject.
  bool isThoroughBounce() const;

  // The result branches after the auto-reply ones, as the thorough reading
  // runs them: a report that yields no recipient hands over to the listed
  // recipients and then to the address search.
  void collectThoroughRecipients();
  // The lines of the first part of type message/delivery-status of a
  // multipart message (reading the whole body for it when needed), else the
  // second part of a delivery-status report; null when there is neither.
  const TextLines* thoroughReportLines();

  // Delivery-status reports.

  // Fills reportGroups from a report part's lines, then corrects "failed"
  // recipients whose diagnostic shows a temporary failure.
  void parseDeliveryStatus(const TextLines& lines);
  void correctTransientFailures();
  // Appends one result per recipient group, in group order.
  void collectReportRecipients();
  // The group's Original-recipient address, else its Final-recipient one.
  std::string reportRecipientAddress(const ReportFieldGroup& group) const;

  // Free-text bounces.

  // One result per non-empty piece of "X-failed-recipients".
  void collectListedRecipients(ScanRules rules = ScanRules::kWritten);
  // One result for the first address in the scanned lines, or none.
  void collectAddressSearchRecipient();
  // The thorough address search over the same lines: every "<address>:"
  // line's address, else the first address that is neither the bounce's own
  // From or To address nor on an identifier or envelope-sender line (the
  // first address when every one is). Appends nothing when there is none.
  void collectThoroughSearchRecipients();
  // Appends one result per distinct address of the lines that begin with
  // "<address>:", from `start` up to the returned copy; false when there is
  // no such line.
  bool collectAngleListedRecipients(const TextLines& lines, std::size_t start);

  // Feedback-loop reports: exactly one result; may shorten `subject`.
  void buildFeedbackResult();
  // Fills firstPartFields from the first part, once per message.
  void readFirstPartFields();

  // Automatic replies: exactly one result.
  void appendAutoReplyResult();

  const Mailvane& patterns_;
  // Emptied report paragraphs kept from earlier messages, with their
  // storage; at most kKeptReportGroups.
  std::vector<ReportFieldGroup> spareGroups_;
  // Empties reportGroups, keeping its paragraphs as spares.
  void recycleReportGroups();
  // The subject patterns that may match the "Subject" field, found in one
  // pass over it; the verdicts try only these.
  PatternCandidates subjectCandidates_;
  // The lines of a report part as the thorough reading parses them (views
  // of the buffer, like `message`); empty between calls.
  TextLines thoroughLines_;
  // Storage of parseDeliveryStatus and collectReportRecipients kept from
  // message to message: the joined field line (up to kKeptReportLineBytes)
  // and the parts of a status code.
  std::string joinedFieldLine_;
  std::vector<std::string> statusParts_;
  bool isFirstPartRead_ = false;
  // A setting, not message state: see setThorough().
  bool isThorough_ = false;
};

// The branch steps of an analysis one at a time, on state a caller has set
// up itself. Used by the fuzz targets, which drive the report parsers on
// their own input.
class AnalysisSteps {
 public:
  explicit AnalysisSteps(MessageAnalysis& analysis) : analysis_(analysis) {}

  bool isDeliveryStatusReport() const {
    return analysis_.isDeliveryStatusReport();
  }
  void parseDeliveryStatus(const TextLines& lines) {
    analysis_.parseDeliveryStatus(lines);
  }
  void collectReportRecipients() { analysis_.collectReportRecipients(); }
  void buildFeedbackResult() { analysis_.buildFeedbackResult(); }

 private:
  MessageAnalysis& analysis_;
};

// The process-wide analyser.
MessageAnalysis& messageAnalysis();

#endif  // MAILVANE_ANALYSIS_MESSAGE_ANALYSIS_H_
