// The report parsers and the status-code operations, on the input cut into
// stored lines: parseFieldBlock, the delivery-status paragraphs with their
// recipients, the feedback-loop branch over those lines taken as its report
// and reported-message parts, the free-text scan, and splitStatusCode,
// statusFromDiagnostic, actionFromStatus and stripAngleBrackets on every line.
//
// Checks, besides the sanitizers: field names hold no colon and values come
// trimmed; only the first paragraph is the per-message one and only later ones
// name recipients; one result per recipient paragraph; every status is empty
// or a dotted code, and splitStatusCode gives a code of class 2, 4 or 5 and a
// rest that ends the text; actions are one of the three words or empty; the
// feedback branch gives exactly one "failed" / "5.7.1" result.
//
// A regex library error ends the input as it ends a message in the program
// (see fuzz_message.cc for MAILVANE_FUZZ_REGEX_LIMITS).

#include <boost/regex.hpp>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "analysis/message_analysis.h"
#include "analysis/status_codes.h"
#include "fuzz_support.h"

namespace {

bool isAction(std::string_view action) {
  return action.empty() || action == "success" || action == "transient" ||
         action == "failed";
}

void checkFieldBlock(const TextLines& lines) {
  FieldMap fields;
  parseFieldBlock(lines, fields);
  for (const auto& [name, value] : fields) {
    FUZZ_CHECK(!name.empty() && name.find(':') == std::string::npos, name);
    FUZZ_CHECK(trim(value) == value, value);
  }
}

void checkDeliveryStatus(MessageAnalysis& analysis, const TextLines& lines) {
  AnalysisSteps(analysis).parseDeliveryStatus(lines);
  size_t recipientGroups = 0;
  for (size_t i = 0; i < analysis.reportGroups.size(); ++i) {
    const ReportFieldGroup& group = analysis.reportGroups[i];
    FUZZ_CHECK(group.perMessage == (i == 0), std::to_string(i));
    FUZZ_CHECK(!(group.perMessage && group.forRecipient), "");
    if (group.forRecipient) ++recipientGroups;
  }
  analysis.recipients.clear();
  AnalysisSteps(analysis).collectReportRecipients();
  FUZZ_CHECK(analysis.recipients.size() == recipientGroups,
             std::to_string(analysis.recipients.size()));
  for (const RecipientResult& result : analysis.recipients) {
    FUZZ_CHECK(isStatusOrEmpty(result.status), result.status);
  }
}

void checkFeedback(MessageAnalysis& analysis, const TextLines& lines,
                   bool isHotmail) {
  analysis.reset();
  MimePart part;
  part.lines = lines;
  analysis.message.parts.assign(3, part);
  parseFieldBlock(lines, analysis.firstPartFields);
  analysis.isHotmailFbl = isHotmail;
  if (isHotmail) analysis.originalRecipient = lines.empty() ? "" : lines[0];
  analysis.subject = lines.empty() ? "" : lines[0];
  AnalysisSteps(analysis).buildFeedbackResult();
  FUZZ_CHECK(analysis.recipients.size() == 1, "");
  FUZZ_CHECK(analysis.recipients[0].action == "failed" &&
                 analysis.recipients[0].status == "5.7.1",
             analysis.recipients[0].status);
}

void checkStatusOperations(std::string_view line) {
  std::vector<std::string> code;
  if (splitStatusCode(mailvane(), line, code)) {
    FUZZ_CHECK(code.size() == 2, std::to_string(code.size()));
    FUZZ_CHECK(isStatusOrEmpty(code[0]) && !code[0].empty(), code[0]);
    FUZZ_CHECK(code[0][0] == '2' || code[0][0] == '4' || code[0][0] == '5',
               code[0]);
    FUZZ_CHECK(line.ends_with(code[1]), code[1]);
  } else {
    FUZZ_CHECK(code.empty(), line);
  }
  FUZZ_CHECK(isAction(actionFromStatus(mailvane(), line)), line);

  std::string diagnostic = statusFromDiagnostic(mailvane(), line);
  FUZZ_CHECK(
      diagnostic.empty() || isStatusOrEmpty(diagnostic) ||
          (diagnostic.size() == 3 &&
           diagnostic.find_first_not_of("0123456789") == std::string::npos),
      diagnostic);

  const std::string_view stripped = stripAngleBrackets(line);
  FUZZ_CHECK(line.find(stripped) != std::string_view::npos, stripped);
  FUZZ_CHECK(line.empty() || containsIgnoreCase(line, line), line);
}

void checkFreeText(const TextLines& lines) {
  std::vector<std::string> found;
  std::string recipient;
  if (mailvane().findFirstAddress(lines, found)) {
    FUZZ_CHECK(found.size() == 1, "");
    recipient = found[0];
  }
  std::string status = scanForStatus(mailvane(), lines, recipient, 0);
  FUZZ_CHECK(isStatusOrEmpty(status), status);
}

void run(std::string_view bytes) {
  const TextLines lines = splitStoredLines(bytes);
  checkFieldBlock(lines);
  MessageAnalysis analysis(mailvane());
  checkDeliveryStatus(analysis, lines);
  checkFeedback(analysis, lines, !bytes.empty() && (bytes[0] & 1) != 0);
  checkFreeText(lines);
  for (std::string_view line : lines) checkStatusOperations(line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    run(asText(data, size));
  } catch (const boost::regex_error& error) {
    if (std::getenv("MAILVANE_FUZZ_REGEX_LIMITS") != nullptr) {
      failCheck("regex limit reached", error.what());
    }
  }
  return 0;
}
