#include <gtest/gtest.h>

#include "analysis/analysis_test_util.h"
#include "analysis/message_analysis.h"

namespace {

// An RFC 5965 report with `fields` as its second part and, when given, the
// reported message's headers as its third.
std::string abuseReport(std::string_view fields,
                        std::string_view reported = {}) {
  std::string text =
      "Subject: FW: complaint\nContent-Type: multipart/report; "
      "report-type=feedback-report;\n\tboundary=\"ARF\"\n\n"
      "--ARF\n\nThis is an abuse report.\n--ARF\n"
      "Content-Type: message/feedback-report\n\n" +
      std::string(fields);
  if (!reported.empty()) text += "--ARF\n\n" + std::string(reported);
  return text + "--ARF--\n";
}

TEST(FeedbackReportTest, ComplainingRecipient) {
  const std::pair<std::string, const char*> cases[] = {
      {abuseReport("original-rcpt-to: <kim@example.org>\n"), "kim@example.org"},
      {abuseReport("Original-Rcpt-To: undisclosed-recipients\n"
                   "Removal-Recipient: kim@example.org\n"),
       "kim@example.org"},
      {abuseReport("Original-Rcpt-To: [redacted]\n"), "[redacted]"},
      {abuseReport("Removal-Recipient: <lee@example.com>\n",
                   "To: kim@example.org\n"),
       "lee@example.com"},
      {abuseReport("Original-Rcpt-To:\n", "To: Kim <kim@example.org>\n"),
       "kim@example.org"},
      {abuseReport(""), ""},
      {"Content-Type: multipart/report; report-type=feedback-report; "
       "boundary=ARF\n\n--ARF\n\nOriginal-Rcpt-To: kim@example.org\n",
       ""},
      {"X-HmXmrOriginalRecipient: <kim@example.org>\n\nbody\n",
       "kim@example.org"},
      {"X-HmXmrOriginalRecipient:\n\nbody\n", ""},
      {"Content-Type: multipart/mixed; boundary=b\n\n--b\n\n"
       "x-hmxmroriginalrecipient: kim@example.org\n--b--\n",
       "kim@example.org"},
      // A feedback-report type wins over the header shape.
      {"X-HmXmrOriginalRecipient: lee@example.com\n" +
           abuseReport("Original-Rcpt-To: kim@example.org\n"),
       "kim@example.org"},
  };
  for (const auto& [message, want] : cases) {
    SCOPED_TRACE(message);
    MessageAnalysis a(mailvane());
    std::string got = results(a, message);
    EXPECT_EQ(got, "{failed,5.7.1," + std::string(want) + "}")
        << "want " << want;
  }
  // In the first part only a line starting with the name and a colon gives
  // the field.
  for (const char* line : {"X-HmXmrOriginalRecipient : kim@example.org",
                           " X-HmXmrOriginalRecipient: kim@example.org",
                           "X-HmXmrOriginalRecipients: kim@example.org"}) {
    SCOPED_TRACE(line);
    MessageAnalysis a(mailvane());
    results(a, "Content-Type: multipart/mixed; boundary=b\n\n--b\n\n" +
                   std::string(line) + "\n--b--\n");
    EXPECT_FALSE(a.isFbl);
  }
}

TEST(FeedbackReportTest, ForwardingMarkAndAutoReplySubject) {
  const std::pair<const char*, const char*> cases[] = {
      {"FW: complaint", "complaint"},
      {"Fw:complaint", "complaint"},
      {"fw:  two blanks", " two blanks"},
      {"FW:", ""},
      {"Fwd: complaint", "Fwd: complaint"},
      {"Re: Fw: complaint", "Re: Fw: complaint"},
  };
  for (const auto& [subject, want] : cases) {
    SCOPED_TRACE(subject);
    MessageAnalysis a(mailvane());
    results(a,
            std::string("X-Loop: scomp\nSubject: ") + subject + "\n\nbody\n");
    EXPECT_EQ(a.subject, want) << "got " << a.subject << ", want " << want;
  }
  MessageAnalysis a(mailvane());
  results(a, "Subject: FW: hello\n\nbody\n");
  EXPECT_EQ(a.subject, "FW: hello");  // not a feedback-loop report
  // An auto-reply subject adds no second result.
  EXPECT_EQ(results(a, "X-Loop: scomp\nSubject: Auto-Reply: away\n\nbody\n"),
            "{failed,5.7.1,}");
  EXPECT_TRUE(a.isAutoResponse);
}

}  // namespace
