// Whole messages: bytes are loaded into a MessageBuffer, analysed by the
// process-wide analyser (whose patterns are compiled once, before the first
// input) and turned into CSV rows, as the per-message step does.
//
// Checks, besides the sanitizers: the line pieces of the buffer and its two
// whole-line readers (see checkLinePieces and checkLineReaders); every status
// is empty or a dotted code; a feedback-loop report gives exactly one "failed"
// / "5.7.1" result; outside delivery-status reports every action is the one the
// status's class gives; every row is six quoted fields ending in CRLF that read
// back as the values and hold no zero byte; and the same bytes analysed again,
// after another message, give the same results.
//
// Errors of the regex library (complexity and stack limits) are what the
// per-message step reports as "Unable to analyse eml"; they end the input
// here too. With MAILVANE_FUZZ_REGEX_LIMITS set in the environment they abort
// instead, so that a run collects the inputs that reach those limits.

#include <boost/regex.hpp>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "analysis/message_analysis.h"
#include "analysis/status_codes.h"
#include "driver/run.h"
#include "fuzz_support.h"

namespace {

struct Outcome {
  bool isBounce = false;
  bool isFbl = false;
  bool isAutoResponse = false;
  std::string subject;
  std::vector<std::string> results;  // action, status, recipient in turn

  bool operator==(const Outcome&) const = default;
};

Outcome outcomeOf(const MessageAnalysis& analysis) {
  Outcome outcome{analysis.isBounce,
                  analysis.isFbl,
                  analysis.isAutoResponse,
                  analysis.subject,
                  {}};
  for (const RecipientResult& result : analysis.recipients) {
    outcome.results.push_back(result.action);
    outcome.results.push_back(result.status);
    outcome.results.push_back(result.recipient);
  }
  return outcome;
}

// Analyses `buffer`; false when the regex library gave up on it.
bool analyseOnce(MessageAnalysis& analysis, const MessageBuffer& buffer) {
  try {
    analysis.analyse(&buffer);
  } catch (const boost::regex_error& error) {
    if (std::getenv("MAILVANE_FUZZ_REGEX_LIMITS") != nullptr) {
      failCheck("regex limit reached", error.what());
    }
    return false;
  }
  return true;
}

void checkResults(MessageAnalysis& analysis) {
  const bool isReport = AnalysisSteps(analysis).isDeliveryStatusReport();
  for (const RecipientResult& result : analysis.recipients) {
    FUZZ_CHECK(isStatusOrEmpty(result.status), result.status);
    if (!isReport) {
      FUZZ_CHECK(result.action == actionFromStatus(mailvane(), result.status),
                 result.action + " / " + result.status);
    }
  }
  if (analysis.isFbl) {
    FUZZ_CHECK(analysis.recipients.size() == 1,
               std::to_string(analysis.recipients.size()));
    FUZZ_CHECK(analysis.recipients[0].action == "failed" &&
                   analysis.recipients[0].status == "5.7.1",
               analysis.recipients[0].status);
  }
}

void checkRows(const MessageAnalysis& analysis) {
  const std::string stamp = "12/07/26 02:47:05";
  const std::string name = "fuzz.eml";
  for (const RecipientResult& result : analysis.recipients) {
    std::string row = csvRow(stamp, name, result.action, result.status,
                             result.recipient, analysis.subject);
    // The console prints each value up to a zero byte; the row must hold
    // the same text.
    FUZZ_CHECK(row.find('\0') == std::string::npos, row);
    checkCsvRow(row, {stamp, name, result.action, result.status,
                      result.recipient, analysis.subject});
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes = asText(data, size);
  MessageBuffer buffer;
  loadBytes(buffer, bytes);
  checkLinePieces(buffer, bytes);
  checkLineReaders(buffer);

  MessageAnalysis& analysis = messageAnalysis();
  if (!analyseOnce(analysis, buffer)) return 0;
  checkResults(analysis);
  checkRows(analysis);
  Outcome first = outcomeOf(analysis);

  // Nothing of one message may show in the next: analyse another message,
  // then these bytes again.
  MessageBuffer other;
  loadBytes(other,
            "Subject: Auto-Reply: away\nX-failed-recipients: a@b.example\n"
            "Content-Type: multipart/report; report-type=feedback-report; "
            "boundary=b\n\n--b\n\n--b\n\nOriginal-rcpt-to: <c@d.example>\n");
  if (!analyseOnce(analysis, other)) return 0;
  if (!analyseOnce(analysis, buffer)) return 0;
  FUZZ_CHECK(outcomeOf(analysis) == first, "second analysis differs");
  return 0;
}
