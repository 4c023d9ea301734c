// Feedback-loop (abuse) reports. Two shapes are read: the RFC 5965 report,
// a multipart/report whose second part holds the report fields and whose
// third part holds the reported message; and the header shape, which names
// the complaining recipient in "X-hmxmroriginalrecipient" and carries the
// reported message as its first part. Either way the report's fields end up
// in reportFields under RFC 5965 names and one result is appended.

#include <boost/regex.hpp>

#include "analysis/message_analysis.h"

namespace {

// A field counts as present when it is there with a non-empty value.
bool isPresent(const FieldMap& fields, std::string_view key) {
  const std::string* value = fields.find(key);
  return value != nullptr && !value->empty();
}

// Removes one forwarding mark "Fw:" (any letter case), and the blank after
// it, from the start of `subject`. "Fwd:" is not a mark.
void removeForwardMark(std::string& subject) {
  if (subject.size() < 3 || !equalsIgnoreCase(subject.substr(0, 3), "Fw:")) {
    return;
  }
  const bool isBlankAfter = subject.size() > 3 && subject[3] == ' ';
  subject.erase(0, isBlankAfter ? 4 : 3);
}

}  // namespace

void MessageAnalysis::buildFeedbackResult() {
  RecipientResult result{"failed", "5.7.1", std::string()};
  removeForwardMark(subject);

  if (isHotmailFbl) {
    // The header shape has no report part: describe it as an RFC 5965
    // report would, from the reported message's own headers.
    reportFields.set("Content-disposition", "inline");
    reportFields.set("Content-type", "message/feedback-report");
    reportFields.set("Feedback-type", "abuse");
    reportFields.set("User-agent", "Hotmail FBL");
    if (const std::string* date = firstPartFields.find("Date")) {
      reportFields.set("Received-date", *date);
    }
    if (!originalRecipient.empty()) {
      reportFields.set("Original-rcpt-to", originalRecipient);
    }
    if (const std::string* sender = firstPartFields.find("X-sid-pra")) {
      reportFields.set("Original-mail-from", *sender);
    }
  } else {
    if (message.parts.size() >= 2) {
      parseFieldBlock(message.parts[1].lines, reportFields);
    }
    bool isRecipientWanted = !isPresent(reportFields, "Original-rcpt-to");
    if (isRecipientWanted && isPresent(reportFields, "Removal-recipient")) {
      reportFields.set("Original-rcpt-to",
                       reportFields.value("Removal-recipient"));
      isRecipientWanted = false;
    }
    // Missing report fields are taken from the reported message's headers.
    if (message.parts.size() >= 3) {
      FieldMap reported;
      parseFieldBlock(message.parts[2].lines, reported);
      if (!isPresent(reportFields, "Original-mail-from") &&
          isPresent(reported, "From")) {
        reportFields.set("Original-mail-from", reported.value("From"));
      }
      if (isRecipientWanted && isPresent(reported, "To")) {
        reportFields.set("Original-rcpt-to", reported.value("To"));
      }
    }
  }

  // Providers that withhold the recipient may still name the address to
  // remove from the sender's list.
  if (const std::string* rcptTo = reportFields.find("Original-rcpt-to")) {
    if (boost::regex_search(*rcptTo, patterns_.withheldRecipient) &&
        isPresent(reportFields, "Removal-recipient")) {
      reportFields.set("Original-rcpt-to",
                       reportFields.value("Removal-recipient"));
    }
  }
  if (const std::string* mailFrom = reportFields.find("Original-mail-from")) {
    reportFields.set("Original-mail-from", stripAngleBrackets(*mailFrom));
  }
  if (const std::string* rcptTo = reportFields.find("Original-rcpt-to")) {
    result.recipient = stripAngleBrackets(*rcptTo);
    reportFields.set("Original-rcpt-to", result.recipient);
  }
  // Appended also without a recipient: the complaint itself is the finding.
  recipients.push_back(std::move(result));
}
