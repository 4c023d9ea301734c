#include "analysis/message_analysis.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "analysis/analysis_test_util.h"
#include "message/keep_limits.h"

namespace {

TEST(ClassificationTest, VerdictsFollowTheHeaders) {
  struct Case {
    const char* headers;
    const char* want;  // B, F, A for isBounce, isFbl, isAutoResponse
  };
  const Case cases[] = {
      {"From: MAILER-DAEMON@mx.example.net", "B"},
      {"From: \"Mail Delivery System\" <mailer-daemon@example.net>", ""},
      {"Subject: on vacation until May", "B"},
      {"Precedence: auto_reply", "B"},
      {"Precedence: AUTO_REPLY", ""},
      {"Content-Type: multipart/report; report-type=\"feedback-report\"", "F"},
      {"Content-Type: multipart/report; report-type=Feedback-Report", ""},
      {"X-Loop: scomp", "F"},
      {"Subject: Auto-Reply: hello", "BA"},
      {"Subject: Re: auto reply", "B"},
      {"Subject: I'm currently away until Monday", "A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headers);
    MessageAnalysis a(mailvane());
    results(a, std::string(c.headers) + "\n\nbody\n");
    std::string got = std::string(a.isBounce ? "B" : "") +
                      (a.isFbl ? "F" : "") + (a.isAutoResponse ? "A" : "");
    EXPECT_EQ(got, c.want) << "got " << got << ", want " << c.want;
  }
}

TEST(ClassificationTest, ThoroughReadingFindsMoreBounceSigns) {
  const std::string body = "\n\nkim@example.org: 550 5.1.1 no such user\n";
  expectThoroughCases({
      {"daemon address after a display name",
       "From: \"Mail Delivery System\" <MAILER-DAEMON@example.org>" + body,
       "{failed,5.1.1,kim@example.org}", ""},
      {"postmaster address after a display name",
       "From: Mail Administrator <postmaster@mx.example.net>" + body,
       "{failed,5.1.1,kim@example.org}", ""},
      {"postmaster only as the display name",
       "From: \"postmaster\" <jo@example.com>" + body, "", ""},
      {"daemon address without brackets",
       "From: Mail System mailer-daemon@example.org" + body, "", ""},
      {"subject wording", "Subject: Message could NOT be delivered" + body,
       "{failed,5.1.1,kim@example.org}", ""},
      {"subject wording at the end", "Subject: Warning: delayed mail" + body,
       "{failed,5.1.1,kim@example.org}", ""},
      {"ordinary subject", "Subject: delivered on time" + body, "", ""},
  });
}

TEST(AutoReplyTest, SubjectStopOrOneTransientResult) {
  struct Case {
    const char* name;
    const char* message;
    const char* want;
  };
  const Case cases[] = {
      {"out of office stops",
       "Return-Path: <jo@example.com>\n"
       "Subject: Out of Office: back Monday\n\nI am out.\n",
       ""},
      {"return path",
       "Return-Path: <kim@example.org>\nSubject: Auto-Response: "
       "thanks\n\nMail to sales@example.com arrived.\n",
       "{transient,4.3.2,kim@example.org}"},
      {"third body line",
       "Subject: Auto-Response: thanks\n\nHello,\n\n"
       "write to help@example.com instead.\n",
       "{transient,4.3.2,help@example.com}"},
      {"second part",
       "Subject: Auto-Response: x\nContent-Type: multipart/"
       "alternative; boundary=b\n\n--b\n\nNo address.\n--b\n\n"
       "<p>desk@example.net</p>\n--b--\n",
       "{transient,4.3.2,desk@example.net}"},
      {"third part",
       "Subject: Auto-Response: x\nContent-Type: multipart/"
       "mixed; boundary=b\n\n--b\n\nNo address.\n--b\n\nNone.\n--b\n"
       "Content-Type: text/plain\n\nto desk@example.net\n--b--\n",
       "{transient,4.3.2,desk@example.net}"},
      {"no address", "Subject: Auto-Response: x\n\nThanks.\n",
       "{transient,4.3.2,}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MessageAnalysis a(mailvane());
    std::string got = results(a, c.message);
    EXPECT_EQ(got, c.want) << "got " << got << ", want " << c.want;
    EXPECT_TRUE(a.isAutoResponse);
  }
}

// The branch that made the rows names the message's kind, also when the
// verdicts name several kinds at once.
TEST(MessageAnalysisTest, BranchThatRanGivesTheKind) {
  struct Case {
    const char* name;
    std::string message;
    ResultKind want;
  };
  const std::string dsnParts =
      "Content-Type: multipart/report; report-type=delivery-status; "
      "boundary=b\n\n--b\n\nNot delivered.\n--b\n"
      "Content-Type: message/delivery-status\n\nReporting-MTA: dns; x\n\n"
      "Final-Recipient: rfc822; kim@example.org\nAction: failed\n"
      "Status: 5.1.1\n--b--\n";
  const Case cases[] = {
      {"delivery-status report", "Subject: failure\n" + dsnParts,
       ResultKind::kBounce},
      {"failed-recipients header",
       "X-failed-recipients: kim@example.org\nSubject: failed\n\nbody\n",
       ResultKind::kBounce},
      {"free-text bounce",
       "From: MAILER-DAEMON@mx.example.net\nSubject: failure\n\n"
       "<kim@example.org>: user unknown\n",
       ResultKind::kBounce},
      {"abuse report",
       "Subject: complaint\nX-HmXmrOriginalRecipient: kim@example.org\n\n"
       "body\n",
       ResultKind::kFeedback},
      {"auto-reply", "Subject: Auto-Response: thanks\n\nHello.\n",
       ResultKind::kAutoReply},
      // The feedback branch comes first and makes the one row.
      {"feedback report that is also an auto-reply",
       "X-Loop: scomp\nSubject: I'm currently away until Monday\n\nbody\n",
       ResultKind::kFeedback},
      // An auto-reply that is also a delivery-status report.
      {"auto-reply shaped as a report",
       "Subject: I'm currently away until Monday\n" + dsnParts,
       ResultKind::kAutoReply},
      {"ordinary message", "Subject: hello\n\nbody\n", ResultKind::kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MessageAnalysis a(mailvane());
    const std::string got = results(a, c.message);
    EXPECT_EQ(a.resultKind, c.want) << "rows " << got;
    EXPECT_EQ(got.empty(), c.want == ResultKind::kNone) << "rows " << got;
  }
}

TEST(MessageAnalysisTest, EachMessageStartsFromNothing) {
  MessageAnalysis a(mailvane());
  results(a,
          "Subject: complaint\nX-HmXmrOriginalRecipient: kim@example.org\n"
          "Content-Type: multipart/mixed; boundary=b\n\n"
          "--b\n\nDate: Mon, 1 Jan 2024 10:00:00 +0000\n--b--\n");
  ASSERT_TRUE(a.isHotmailFbl);
  EXPECT_EQ(results(a, "From: jo@example.com\nSubject: hello\n\nbody\n"), "");
  EXPECT_FALSE(a.isFbl || a.isHotmailFbl || a.isBounce || a.isAutoResponse);
  EXPECT_EQ(a.resultKind, ResultKind::kNone);
  EXPECT_EQ(a.subject, "hello");
  EXPECT_TRUE(a.originalRecipient.empty() && a.reportFields.empty() &&
              a.firstPartFields.empty() && a.message.parts.empty());
  a.analyse(nullptr);
  EXPECT_TRUE(a.subject.empty());
}

// The driver lets go of the parsed message, which views the buffer, before
// it releases the buffer and writes the rows: the results must stand alone.
TEST(MessageAnalysisTest, ReleasedMessageLeavesTheResultsWhole) {
  const std::string message =
      "Subject: Undelivered Mail\n"
      "Content-Type: multipart/report; report-type=delivery-status; "
      "boundary=b\n\n--b\n\nNot delivered.\n--b\n"
      "Content-Type: message/delivery-status\n\nReporting-MTA: dns; x\n\n"
      "Final-Recipient: rfc822; kim@example.org\nAction: failed\n"
      "Status: 5.1.1\n--b--\n";
  MessageAnalysis a(mailvane());
  {
    MessageBuffer buffer;
    loadBytes(buffer, message);
    a.analyse(&buffer);
    a.releaseMessage();
    buffer.release();
    // Another message's bytes where the released ones stood, in a build
    // that reuses released areas.
    MessageBuffer next;
    loadBytes(next, std::string(message.size(), 'x'));
  }
  EXPECT_TRUE(a.message.parts.empty() && a.message.root.lines.empty() &&
              a.reportGroups.empty() && a.firstPartFields.empty());
  EXPECT_EQ(a.resultKind, ResultKind::kBounce);
  EXPECT_EQ(a.subject, "Undelivered Mail");
  ASSERT_EQ(a.recipients.size(), 1u);
  EXPECT_EQ(a.recipients[0].recipient, "kim@example.org");
  EXPECT_EQ(a.recipients[0].status, "5.1.1");
}

// The next message reuses the storage of the results, but a message of
// many recipients or a huge subject does not hold its memory for the rest
// of the run.
TEST(MessageAnalysisTest, ResultStorageIsKeptOnlyWithinItsLimits) {
  struct Case {
    const char* name;
    std::size_t recipients;
    std::size_t subjectBytes;
    bool isKept;
  };
  const Case cases[] = {
      {"ordinary bounce", 3, 40, true},
      {"list-sized report", kKeptRecipients + 1, 40, false},
      {"huge subject", 1, kKeptTextBytes + 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string message = "Subject: " + std::string(c.subjectBytes, 's') +
                          "\nX-failed-recipients: ";
    for (std::size_t i = 0; i < c.recipients; ++i) {
      message += (i == 0 ? "r" : ",\n r") + std::to_string(i) + "@example.org";
    }
    MessageAnalysis a(mailvane());
    results(a, message + "\n\nbody\n");
    ASSERT_EQ(a.recipients.size(), c.recipients);
    const void* recipientStorage = a.recipients.data();
    const void* subjectStorage = a.subject.data();
    a.reset();
    EXPECT_TRUE(a.recipients.empty() && a.subject.empty());
    EXPECT_EQ(a.recipients.data() == recipientStorage &&
                  a.subject.data() == subjectStorage,
              c.isKept);
    EXPECT_LE(a.recipients.capacity(), kKeptRecipients);
    EXPECT_LE(a.subject.capacity(), kKeptTextBytes);
  }
}

// Development only: the bounce corpus lives beside the repository and is
// never shipped. Every message must go through without an exception.
TEST(MessageAnalysisTest, EveryCorpusMessageIsAnalysed) {
  const auto corpus = std::filesystem::path(MAILVANE_SHARED_DIR) / "corpus";
  if (!std::filesystem::is_directory(corpus)) GTEST_SKIP() << "no corpus";
  MessageAnalysis a(mailvane());
  int count = 0;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(corpus)) {
    if (entry.path().extension() != ".eml") continue;
    SCOPED_TRACE(entry.path().string());
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    EXPECT_NO_THROW(results(a, bytes));
    ++count;
  }
  EXPECT_GT(count, 0);
}

}  // namespace
