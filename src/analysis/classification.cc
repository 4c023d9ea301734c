// Message classification: the bounce, feedback-loop, auto-reply and
// delivery-status verdicts. They look only at the message's own header block
// and, for one feedback-loop shape, at the fields of its first part; no body
// text is searched. The verdicts overlap; analyse() decides which one wins.

#include <boost/regex.hpp>

#include "analysis/message_analysis.h"

namespace {

// The header's value, or the value of its parameter `paramName` when that is
// given and non-empty; null when the header or the parameter is absent.
const std::string* headerOrParam(const HeaderList& headers,
                                 const char* paramName,
                                 std::string_view headerName) {
  const HeaderField* field = headers.find(headerName);
  if (field == nullptr) return nullptr;
  if (paramName != nullptr && *paramName != '\0') {
    return field->params.find(paramName);
  }
  return &field->value;
}

// Whether a line of `lines` starts with `name` (any letter case) and a colon:
// only such a line gives parseFieldBlock a field of that name.
bool hasFieldLine(const TextLines& lines, std::string_view name) {
  for (std::string_view line : lines) {
    if (line.size() > name.size() && line[name.size()] == ':' &&
        equalsIgnoreCase(line.substr(0, name.size()), name)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool MessageAnalysis::headerMatches(const char* paramName,
                                    const boost::regex& pattern,
                                    std::string_view headerName) const {
  const std::string* text =
      headerOrParam(message.root.headers, paramName, headerName);
  if (text == nullptr) return false;
  thread_local ViewMatch match;  // kept: see ViewMatch
  const std::string_view view = *text;
  return boost::regex_search(view.begin(), view.end(), match, pattern);
}

bool MessageAnalysis::headerMatches(const char* paramName, HeaderRule rule,
                                    std::string_view headerName) const {
  const std::string* text =
      headerOrParam(message.root.headers, paramName, headerName);
  return text != nullptr && patterns_.matchesHeaderRule(rule, *text);
}

bool MessageAnalysis::contentTypeEquals(const char* paramName,
                                        std::string_view text) const {
  const std::string* value =
      headerOrParam(message.root.headers, paramName, "Content-Type");
  // MIME media types, subtypes and token values such as a report-type are
  // case-insensitive: MULTIPART/REPORT is the same type as multipart/report.
  return value != nullptr && equalsIgnoreCase(*value, text);
}

bool MessageAnalysis::isBounceMessage() const {
  const HeaderField* subjectField = message.root.headers.find("Subject");
  return (subjectField != nullptr &&
          subjectCandidates_.has(Mailvane::kBounceSubjectCandidate) &&
          patterns_.matchesBounceSubject(subjectField->value,
                                         subjectCandidates_)) ||
         headerMatches(nullptr, HeaderRule::kPrecedenceAutoReply,
                       "Precedence") ||
         headerMatches(nullptr, HeaderRule::kPostmasterFrom, "From");
}

bool MessageAnalysis::isFeedbackReport() {
  // RFC 5965 abuse report, or a provider's loop marker.
  if (headerMatches("report-type", HeaderRule::kFeedbackReportType,
                    "Content-Type")) {
    return true;
  }
  if (headerMatches(nullptr, HeaderRule::kXLoopScomp, "X-loop")) return true;
  // The header shape names the complaining recipient in a header of its own,
  // on the message itself or on the reported message in its first part.
  if (const HeaderField* field =
          message.root.headers.find("X-hmxmroriginalrecipient")) {
    isHotmailFbl = true;
    originalRecipient = field->value;
    return true;
  }
  // The first part is read as fields only when one of its lines may give
  // this one.
  constexpr std::string_view kPartRecipient = "X-hmxmroriginalrecipient";
  if (!message.parts.empty() &&
      hasFieldLine(message.parts.front().lines, kPartRecipient)) {
    readFirstPartFields();
  }
  if (const std::string* value = firstPartFields.find(kPartRecipient)) {
    isHotmailFbl = true;
    originalRecipient = *value;
    return true;
  }
  return false;
}

bool MessageAnalysis::isAutoReply() const {
  // The rows are anchored at the start of the subject; the first match
  // decides.
  const std::vector<boost::regex>& rows = patterns_.autoReplySubjectRows;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (subjectCandidates_.has(i) && headerMatches(nullptr, rows[i], "Subject"))
      return true;
  }
  return false;
}

bool MessageAnalysis::isDeliveryStatusReport() const {
  // RFC 3464: multipart/report; report-type=delivery-status, in any letter
  // case.
  return contentTypeEquals("type", "multipart/report") &&
         contentTypeEquals("report-type", "delivery-status");
}

namespace {

// Failure wording in subjects that the bounce subject pattern does not
// hold; any letter case.
constexpr std::string_view kThoroughBounceSubjects[] = {
    "could not be delivered",
    "not delivered",
    "delivery failed",
    "non-delivery",
    "nondelivery",
    "mail failure",
    "delivery warning",
    "automatically rejected",
    "user unknown",
    "failed mail",
    "delayed mail",
};

}  // namespace

bool MessageAnalysis::isThoroughBounce() const {
  // "Mail Delivery System" <MAILER-DAEMON@example.org>: the address in
  // brackets, whatever name comes first.
  const std::string from = message.root.headers.value("From");
  const std::size_t open = from.find('<');
  if (open != std::string::npos &&
      from.find('>', open + 1) != std::string::npos) {
    const std::string_view address = stripAngleBrackets(from);
    if (startsWithIgnoreCase(address, "postmaster") ||
        startsWithIgnoreCase(address, "mailer-daemon")) {
      return true;
    }
  }
  for (std::string_view words : kThoroughBounceSubjects) {
    if (containsIgnoreCase(subject, words)) return true;
  }
  return false;
}
