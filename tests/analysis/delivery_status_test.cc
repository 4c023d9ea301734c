#include <gtest/gtest.h>

#include "analysis/analysis_test_util.h"
#include "analysis/message_analysis.h"

namespace {

// A delivery-status report whose second part has `report` as its body.
std::string deliveryReport(std::string_view report) {
  return "From: MAILER-DAEMON@mx.example.net\nContent-Type: multipart/report; "
         "report-type=delivery-status;\n  boundary=\"RPT\"\n\n"
         "--RPT\n\nYour message could not be delivered.\n"
         "--RPT\nContent-Type: message/delivery-status\n\n" +
         std::string(report) + "--RPT--\n";
}

// A multipart message of type `type` with `parts`, each given with its own
// header block.
std::string multipartMessage(std::string_view type,
                             const std::vector<std::string>& parts) {
  std::string text = "Subject: note\nContent-Type: " + std::string(type) +
                     "; boundary=\"B\"\n\npreamble\n";
  for (const std::string& part : parts) text += "--B\n" + part;
  return text + "--B--\n";
}

const std::string kRecipientReport =
    "Content-Type: message/delivery-status\n\nReporting-MTA: dns; mx\n\n"
    "Final-Recipient: rfc822; kim@example.org\nAction: failed\n"
    "Status: 5.1.1\n";

// The report part found by its own type, paragraphs parted by lines of
// blanks, and a report without recipients handing over to the search.
TEST(DeliveryStatusTest, ThoroughReadingOfReports) {
  const std::string notice = "Content-Type: text/plain\n\nNot delivered.\n";
  expectThoroughCases({
      {"report without report-type",
       multipartMessage("multipart/report", {notice, kRecipientReport}),
       "{failed,5.1.1,kim@example.org}", ""},
      {"report wrapped in multipart/mixed, third part",
       multipartMessage("multipart/mixed",
                        {notice,
                         "Content-Type: message/rfc822\n\nFrom: "
                         "jo@example.com\n\nhi\n",
                         kRecipientReport}),
       "{failed,5.1.1,kim@example.org}", ""},
      {"delivery-status report without such a part keeps its second",
       multipartMessage("multipart/report; report-type=delivery-status",
                        {notice,
                         "Content-Type: text/plain\n\nX: y\n\n"
                         "Final-Recipient: rfc822; lee@example.com\n"}),
       "{,,lee@example.com}", "{,,lee@example.com}"},
      {"paragraphs parted by a line of blanks",
       deliveryReport("Reporting-MTA: dns; mx\n \t \n"
                      "Final-Recipient: rfc822; kim@example.org\n"
                      "Action: failed\nStatus: 5.1.1\n"),
       "{failed,5.1.1,kim@example.org}", ""},
      {"no recipient paragraph: the first part is searched",
       multipartMessage(
           "multipart/report; report-type=delivery-status",
           {"Content-Type: text/plain\n\nkim@example.org: mailbox is full\n",
            "Content-Type: message/delivery-status\n\nReporting-MTA: x\n"}),
       "{transient,4.2.2,kim@example.org}", ""},
      {"no recipient paragraph: X-Failed-Recipients next",
       "X-Failed-Recipients: lee@example.com\n" +
           multipartMessage("multipart/report; report-type=delivery-status",
                            {"Content-Type: text/plain\n\nkim@example.org\n",
                             "Content-Type: message/delivery-status\n\n"
                             "Reporting-MTA: x\n"}),
       "{,,lee@example.com}", ""},
      {"report of one part only: the part is searched",
       multipartMessage("multipart/report; report-type=delivery-status",
                        {"Content-Type: text/plain\n\nkim@example.org: "
                         "550 5.1.1 no such user\n"}),
       "{failed,5.1.1,kim@example.org}", ""},
  });
}

// Recipient paragraphs (after a per-message one) and their results.
TEST(DeliveryStatusTest, RecipientParagraphs) {
  const std::pair<const char*, const char*> cases[] = {
      {"Final-Recipient: rfc822; <Kim@Example.ORG>\nAction: failed\n"
       "Status: 5.1.1 (bad destination mailbox)\n\n"
       "Final-Recipient: rfc822; lee@example.com\nAction: failed\n"
       "Status: 4.2.2\nDiagnostic-Code: smtp; 452 4.2.2 Mailbox full\n",
       "{failed,5.1.1,Kim@Example.ORG}{transient,4.3.0,lee@example.com}"},
      {"Original-Recipient: rfc822;b@y.test\nFinal-Recipient: rfc822;a@x.test\n"
       "Status: 5.0.0\n",
       "{,5.0.0,b@y.test}"},
      {"Original-Recipient: <b@y.test>\nFinal-Recipient: rfc822;a@x.test\n",
       "{,,a@x.test}"},
      {"Final-Recipient: <a@x.test>\n", "{,,a@x.test}"},
      {"Final-Recipient: a@x.test; rfc822\n", "{,,a@x.test}"},
      {"Final-Recipient: rfc822;b@y.test\nFinal-Recipient: rfc822;a@x.test\n",
       "{,,a@x.test}"},
      {"Final-Recipient: rfc822;a@x.test\nStatus: 550\n", "{,5.5.0,a@x.test}"},
      {"Final-Recipient: rfc822;a@x.test\nStatus: 5.9.0\n", "{,,a@x.test}"},
      {"Final-Recipient: rfc822;a@x.test\nStatus : 5.1.1\n", "{,,a@x.test}"},
      {"Final-Recipient: rfc822;a@x.test\nAction: delayed\n",
       "{delayed,,a@x.test}"},
      {"Final-Recipient:\nAction:\nStatus:\nDiagnostic-Code:\n", "{,,}"},
      {"", ""},
  };
  for (const auto& [report, want] : cases) {
    SCOPED_TRACE(report);
    MessageAnalysis a(mailvane());
    std::string got = results(
        a, deliveryReport(std::string("Reporting-MTA: x\n\n") + report));
    EXPECT_EQ(got, want) << "got " << got << ", want " << want;
  }
}

// Diagnostic codes of an Action "failed" recipient with Status 5.0.0.
TEST(DeliveryStatusTest, TransientCorrection) {
  const std::pair<const char*, const char*> cases[] = {
      {"smtp; 451 4.3.0", "{transient,4.3.0,a@x.test}"},
      {"smtp; 4.7.26 rate limit", "{transient,4.3.0,a@x.test}"},
      {"smtp;\n    452 4.2.2\n\tMailbox full; x", "{transient,4.3.0,a@x.test}"},
      {"421 try later", "{failed,5.0.0,a@x.test}"},  // no type: no text
      {"smtp; 550 5.1.1 no", "{failed,5.0.0,a@x.test}"},
  };
  for (const auto& [diagnostic, want] : cases) {
    SCOPED_TRACE(diagnostic);
    MessageAnalysis a(mailvane());
    std::string got = results(
        a, deliveryReport(std::string("Reporting-MTA: x\n\nFinal-Recipient: "
                                      "rfc822;a@x.test\nAction: failed\n"
                                      "Status: 5.0.0\nDiagnostic-Code: ") +
                          diagnostic + "\n"));
    EXPECT_EQ(got, want) << "got " << got << ", want " << want;
  }
  MessageAnalysis a(mailvane());
  EXPECT_EQ(results(a, deliveryReport("Reporting-MTA: x\n\nFinal-Recipient: "
                                      "rfc822;a@x.test\nAction: Failed\n"
                                      "Diagnostic-Code: smtp; 452 full\n")),
            "{Failed,,a@x.test}");
}

TEST(DeliveryStatusTest, WhereTheParagraphsBegin) {
  const std::string rcpt = "Final-Recipient: rfc822;a@x.test\n";
  MessageAnalysis a(mailvane());
  EXPECT_EQ(results(a, deliveryReport("\n\nReporting-MTA: x\n\n" + rcpt)),
            "{,,a@x.test}");
  EXPECT_EQ(results(a, deliveryReport(rcpt)), "");
  EXPECT_EQ(results(a, deliveryReport("Reporting-MTA: x\n \t\n" + rcpt)), "");
  // The per-message paragraph right after the delimiter line is read as the
  // part's header block, so the first recipient paragraph stands in for it.
  EXPECT_EQ(results(a,
                    "Content-Type: multipart/report; report-type="
                    "delivery-status; boundary=R\n\n--R\n\nSorry.\n--R\n"
                    "Reporting-MTA: x\n\n" +
                        rcpt + "\nFinal-Recipient: rfc822; b@y.test\n--R--\n"),
            "{,,b@y.test}");
  // One part only: no result, and no free-text search stands in.
  EXPECT_EQ(results(a,
                    "From: MAILER-DAEMON@x.test\nX-Failed-Recipients: "
                    "a@x.test\nContent-Type: multipart/report; report-type="
                    "delivery-status; boundary=R\n\n--R\n\nMailbox full\n"),
            "");
}

// Media type, subtype and report-type are tokens: any letter case makes the
// message a report, read field by field; a value that differs by more than
// case does not, and the address search then names the help address.
TEST(DeliveryStatusTest, ContentTypeInAnyLetterCase) {
  const std::pair<const char*, const char*> cases[] = {
      {"multipart/report; report-type=delivery-status", "report"},
      {"MULTIPART/REPORT; REPORT-TYPE=DELIVERY-STATUS", "report"},
      {"Multipart/Report; Report-Type=\"Delivery-Status\"", "report"},
      {"multipart/reports; report-type=delivery-status", "search"},
      {"multipart/report; report-type=delivery-status-x", "search"},
  };
  const std::string want[] = {
      "{failed,5.1.1,kim@example.org}{failed,5.2.2,lee@example.com}",
      "{failed,5.2.0,postmaster@mx.example.net}"};
  for (const auto& [type, kind] : cases) {
    SCOPED_TRACE(type);
    MessageAnalysis a(mailvane());
    std::string got = results(
        a, std::string("From: MAILER-DAEMON@mx.example.net\n"
                       "Subject: Undelivered Mail\nContent-Type: ") +
               type +
               ";\n  boundary=RPT\n\n--RPT\n\nDelivery failed; please "
               "contact postmaster@mx.example.net\n--RPT\nContent-Type: "
               "message/delivery-status\n\nReporting-MTA: x\n\n"
               "Final-Recipient: rfc822; kim@example.org\nAction: failed\n"
               "Status: 5.1.1\n\nFinal-Recipient: rfc822; lee@example.com\n"
               "Action: failed\nStatus: 5.2.2\n--RPT--\n");
    EXPECT_EQ(got, want[kind[0] == 'r' ? 0 : 1]);
    EXPECT_TRUE(a.isBounce);
    EXPECT_EQ(a.subject, "Undelivered Mail");
  }
}

TEST(DeliveryStatusTest, ThousandsOfRecipientParagraphs) {
  std::string report = "Reporting-MTA: dns; mx.example.net\n";
  for (int i = 0; i < 5000; ++i) {
    report += "\nFinal-Recipient: rfc822; u" + std::to_string(i) +
              "@example.com\nAction: failed\nStatus: 5.1.1\n";
  }
  MessageAnalysis a(mailvane());
  results(a, deliveryReport(report));
  ASSERT_EQ(a.recipients.size(), 5000u);
  EXPECT_EQ(a.recipients.back().recipient, "u4999@example.com");
}

}  // namespace
