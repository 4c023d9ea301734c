// Delivery-status reports (RFC 3464): the second part of a multipart/report
// holds one paragraph of fields about the message, then one paragraph per
// recipient. Each recipient paragraph gives one result.

#include <boost/regex.hpp>

#include "analysis/message_analysis.h"

namespace {

// The value cut at every ';' (no quoting, RFC 3464 type ";" text), each
// piece trimmed. Only the first two pieces are used; the second is "" when
// there is no ';'.
void splitTypedValue(std::string_view value, std::string_view& first,
                     std::string_view& second) {
  std::size_t semicolon = value.find(';');
  if (semicolon == std::string_view::npos) {
    first = trimView(value);
    second = std::string_view();
    return;
  }
  first = trimView(value.substr(0, semicolon));
  std::string_view rest = value.substr(semicolon + 1);
  second = trimView(rest.substr(0, rest.find(';')));
}

// Fills the parameters of the fields whose value is typed. Every other field
// keeps no parameters.
void setTypedParams(HeaderField& field) {
  const std::string& name = field.name;
  const bool isTypeAddr = equalsIgnoreCase(name, "X-postfix-sender") ||
                          equalsIgnoreCase(name, "Reporting-mta") ||
                          equalsIgnoreCase(name, "Original-recipient");
  const bool isFinal = equalsIgnoreCase(name, "Final-recipient");
  const bool isDiagnostic = equalsIgnoreCase(name, "Diagnostic-code");
  if (!isTypeAddr && !isFinal && !isDiagnostic) return;

  // Views of field.value, which setting parameters leaves in place.
  std::string_view first;
  std::string_view second;
  splitTypedValue(field.value, first, second);
  if (isTypeAddr) {
    field.params.set("type", first);
    field.params.set("addr", second);
  } else if (isFinal) {
    // Some reports give a bare address, or the address before its type.
    if (first.find('@') == std::string_view::npos) {
      field.params.set("type", first);
      field.params.set("addr", stripAngleBrackets(second));
    } else {
      field.params.set("addr", stripAngleBrackets(first));
      field.params.set("type", second);
    }
  } else {
    field.params.set("type", first);
    field.params.set("text", second);
  }
}

// The joined field line is kept from message to message up to this size.
constexpr std::size_t kKeptLineCapacity = kKeptReportLineBytes;

}  // namespace

void MessageAnalysis::parseDeliveryStatus(const TextLines& lines) {
  recycleReportGroups();
  bool isNewGroupPending = true;
  std::string& logical = joinedFieldLine_;
  std::size_t i = 0;
  while (i < lines.size()) {
    // Only a truly empty line ends a paragraph; one of blanks does not.
    if (lines[i].empty()) {
      isNewGroupPending = true;
      ++i;
      continue;
    }
    if (isNewGroupPending) {
      ReportFieldGroup group;
      if (!spareGroups_.empty()) {
        group = std::move(spareGroups_.back());
        spareGroups_.pop_back();
      }
      group.perMessage = reportGroups.empty();
      group.forRecipient = false;
      reportGroups.push_back(std::move(group));
      isNewGroupPending = false;
    }
    // Continuation lines join with one space, their leading blanks dropped.
    i = unfoldLine(lines, i, logical);

    // The name is not trimmed: "Status : x" names no field used here.
    std::size_t colon = logical.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    ReportFieldGroup& group = reportGroups.back();
    HeaderField& field = group.fields.fieldToFill();
    field.name.assign(logical, 0, colon);
    field.value.assign(trimView(std::string_view(logical).substr(colon + 1)));
    setTypedParams(field);
    if (!group.perMessage &&
        (equalsIgnoreCase(field.name, "Final-Recipient") ||
         equalsIgnoreCase(field.name, "Original-Recipient"))) {
      group.forRecipient = true;
    }
    group.fields.storeFilled();
  }
  // A field folded over many lines would otherwise hold its length here.
  if (logical.capacity() > kKeptLineCapacity) std::string().swap(logical);
  correctTransientFailures();
}

// A recipient reported "failed" whose diagnostic carries a class-4 code was
// only deferred.
void MessageAnalysis::correctTransientFailures() {
  for (ReportFieldGroup& group : reportGroups) {
    if (!group.forRecipient) continue;
    const HeaderField* diagnostic = group.fields.find("Diagnostic-code");
    const std::string* text =
        diagnostic == nullptr ? nullptr : diagnostic->params.find("text");
    if (text == nullptr || text->empty()) continue;
    if (actionFromStatus(patterns_, statusFromDiagnostic(patterns_, *text)) !=
        "transient")
      continue;
    const HeaderField* action = group.fields.find("Action");
    if (action == nullptr) continue;
    thread_local ViewMatch match;  // kept: see ViewMatch
    const std::string_view value = action->value;
    if (!boost::regex_search(value.begin(), value.end(), match,
                             patterns_.actionFailed)) {
      continue;
    }
    group.fields.set("Action", "transient");
    group.fields.set("Status", "4.3.0");
  }
}

std::string MessageAnalysis::reportRecipientAddress(
    const ReportFieldGroup& group) const {
  // A usable Original-Recipient address wins over the Final-Recipient one.
  std::string address = group.fields.get("Original-recipient", "addr");
  if (address.empty()) address = group.fields.get("Final-recipient", "addr");
  return std::string(stripAngleBrackets(address));
}

void MessageAnalysis::collectReportRecipients() {
  // Sized once: a report of many recipients would otherwise hold the old
  // and the doubled array at once while growing.
  std::size_t count = recipients.size();
  for (const ReportFieldGroup& group : reportGroups)
    count += group.forRecipient;
  recipients.reserve(count);
  std::vector<std::string>& code = statusParts_;
  for (const ReportFieldGroup& group : reportGroups) {
    if (!group.forRecipient) continue;
    RecipientResult result;
    result.recipient = reportRecipientAddress(group);
    const HeaderField* status = group.fields.find("Status");
    if (status != nullptr && splitStatusCode(patterns_, status->value, code)) {
      result.status = std::move(code.front());
    }
    // The report's own action word, unchanged ("delayed", "delivered"...).
    result.action = group.fields.get("Action", "");
    recipients.push_back(std::move(result));
  }
  code.clear();
}

namespace {

bool isReportPart(const MimePart& part) {
  const HeaderField* field = part.headers.find("Content-Type");
  const std::string* type =
      field == nullptr ? nullptr : field->params.find("type");
  return type != nullptr && equalsIgnoreCase(*type, "message/delivery-status");
}

}  // namespace

const TextLines* MessageAnalysis::thoroughReportLines() {
  // The report part is found by its own type, whatever the root's type and
  // report-type say: reports come without report-type, or wrapped in
  // multipart/mixed.
  for (std::size_t i = 0; i < message.parts.size(); ++i) {
    // Only the parts read so far; the rest are read when none of them is.
    if (message.pausedBody.buffer != nullptr && i + 1 == message.parts.size()) {
      finishBody(message);
    }
    if (isReportPart(message.parts[i])) return &message.parts[i].lines;
  }
  if (isDeliveryStatusReport() && message.parts.size() >= 2) {
    return &message.parts[1].lines;
  }
  return nullptr;
}
