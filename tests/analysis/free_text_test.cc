#include <gtest/gtest.h>

#include <random>

#include "analysis/analysis_test_util.h"
#include "analysis/message_analysis.h"

namespace {

// A plain-text bounce listing `listed` in "X-failed-recipients".
std::string listedBounce(std::string_view listed,
                         const std::vector<std::string>& body) {
  std::string text =
      "From: MAILER-DAEMON@mx.example.net\nX-Failed-Recipients: " +
      std::string(listed) + "\n\n";
  for (const std::string& line : body) text += line + "\n";
  return text;
}

const std::string kMarker =
    "------ This is a copy of the message, including all the headers. ------";

TEST(ListedRecipientsTest, ScanDecidesTheStatus) {
  // Body lines, and the status the scan for a@x.test gives.
  const std::pair<std::string, const char*> cases[] = {
      {"  a@x.test\nRCPT TO:<a@x.test>\n550 5.1.1 unknown\n" + kMarker,
       "5.1.1"},
      {"a@x.test: 550 5.1.1 no\nb@y.test: 452 mailbox full", "5.1.1"},
      {"a@x.test: 550 5.1.1 no\na@x.test: Mailbox full\nb@y.test", "4.2.2"},
      {"a@x.test " + kMarker + "\nMailbox full", "4.2.2"},
      {"Mailbox full\na@x.test", "4.2.2"},
      {"to b@y.test\na@x.test\nsaid: 550 no", ""},
      {"MAIL FROM:<s@y.test> SIZE=10\nfrom s@y\nsaid: 550 no", "5.1.1"},
      {"Mail From:<s@y.test>\nsaid: 550 no", ""},
      {"------ this is a copy of the message ---\nMailbox full", ""},
      {"Message-ID: <1234.5.1.1.abcd>\nMailbox full", ""},
      {"MAILBOX FULL (5.2.2)", "4.2.2"},
      {"550 #5.1.1 gone", "5.1.1"},
      {"status: 4.4.1", "4.4.1"},
      {"5.1.1 bad luck", ""},  // no non-word character before the code
      {"replied: 5.1.10 bad luck", "5.1.10"},
      {"said: 450 bad luck", "4.5.0"},
      {"said: 552 bad luck", "4.2.2"},
      {"[mx]: 421 bad luck", "4.3.2"},
      {"said: 501 bad luck", "5.0.1"},
      {"451 zz denied", "4.5.1"},
      {"451 zz tomorrow", ""},
  };
  for (const auto& [body, status] : cases) {
    SCOPED_TRACE(body);
    MessageAnalysis a(mailvane());
    std::string want = "{" + actionFromStatus(mailvane(), status) + "," +
                       status + ",a@x.test}";
    std::string got = results(a, listedBounce("a@x.test", {body}));
    EXPECT_EQ(got, want) << "got " << got << ", want " << want;
  }
}

TEST(ListedRecipientsTest, PiecesAndWhereTheyAreScanned) {
  MessageAnalysis a(mailvane());
  // Each piece is scanned from the top; b's and c's scans stop at a's line.
  EXPECT_EQ(
      results(a, listedBounce(" a@x.test,b@y.test , Jo <c@z.test>,a@x.test",
                              {"a@x.test", "said: 550 no", "b@y.test"})),
      "{failed,5.1.1,a@x.test}{,,b@y.test}{,,Jo <c@z.test>}"
      "{failed,5.1.1,a@x.test}");
  // Nothing listed: no result, and no address search either.
  EXPECT_EQ(results(a, listedBounce(" , ,", {"a@x.test", "Mailbox full"})), "");
  // No bounce sign needed; only the text before the first boundary counts.
  EXPECT_EQ(results(a,
                    "X-Failed-Recipients: a@x.test\nContent-Type: multipart/"
                    "mixed; boundary=b\n\na@x.test: mailbox is full\n--b\n\n"
                    "a@x.test: 550 5.1.1 no\n--b--\n"),
            "{transient,4.2.2,a@x.test}");
}

TEST(ListedRecipientsTest, HugeInputsFinish) {
  // 100,000 lines naming the recipient, fifty of which decide nothing.
  std::vector<std::string> body(100000, "a@x.test: 550 5.1.1 gone");
  for (std::size_t i = 0; i < body.size(); i += 2000) body[i] = "<a@x.test>";
  body.push_back("a@x.test: Mailbox full");
  MessageAnalysis a(mailvane());
  EXPECT_EQ(results(a, listedBounce("a@x.test", body)),
            "{transient,4.2.2,a@x.test}");
  // A line of a megabyte, then the decision.
  std::string line;
  while (line.size() < (1u << 20)) line += "lorem ipsum dolor sit amet ";
  EXPECT_EQ(results(a, listedBounce("a@x.test", {line, "said: 554 no"})),
            "{failed,5.1.1,a@x.test}");
  // Addresses everywhere: 2,000 listed, each on a line of its own with more.
  std::string listed;
  body.clear();
  for (int i = 0; i < 2000; ++i) {
    std::string address = "u" + std::to_string(i) + "@example.com";
    listed += address + ",\n ";
    body.push_back(address + " <" + address + ">: 550 5.1.1 x" + address);
  }
  results(a, listedBounce(listed, body));
  ASSERT_EQ(a.recipients.size(), 2000u);
  EXPECT_EQ(a.recipients[0].status, "5.1.1");
  EXPECT_EQ(a.recipients[1999].status, "");
}

TEST(AddressSearchTest, FirstAddressOfTheScannedLines) {
  const std::pair<const char*, const char*> cases[] = {
      {"From: postmaster@mx.example.net\n\nHello from "
       "postmaster@mx.example.net.\n"
       "kim@example.org: 550 5.1.1 no such user\n",
       "{,,postmaster@mx.example.net}"},
      {"Subject: Returned mail\nContent-Type: multipart/mixed; boundary=b\n\n"
       "preamble for jo@example.com\n--b\n\nlee@example.net: mailbox is full\n",
       "{transient,4.2.2,lee@example.net}"},
      {"Subject: Undeliverable\n\nbad@host.invalid or kim@example.org: user "
       "unknown\n",
       "{failed,5.1.1,kim@example.org}"},
      {"Subject: Undeliverable\n\nSomething failed.\n", ""},
      {"Subject: hello\n\nkim@example.org: no such user\n", ""},
  };
  for (const auto& [message, want] : cases) {
    SCOPED_TRACE(message);
    MessageAnalysis a(mailvane());
    std::string got = results(a, message);
    EXPECT_EQ(got, want) << "got " << got << ", want " << want;
  }
}

// The address search of the thorough reading, one layout per case.
TEST(AddressSearchTest, ThoroughSearchListsEveryFailedRecipient) {
  const std::string daemon = "From: MAILER-DAEMON@mx.example.net\n";
  expectThoroughCases({
      {"qmail: every <address>: line, once, up to the copy",
       daemon + "\nHi. This is the qmail-send program at mx.example.net.\n\n"
                "<kim@example.org>:\nSorry, no mailbox here by that name. "
                "(#5.1.1)\n\n  <lee@example.com>:  \nuser is over quota\n\n"
                "<KIM@example.org>:\nagain\n\n"
                "--- Below this line is a copy of the message.\n\n"
                "<zed@example.net>: 550 5.1.1 unknown\n",
       "{failed,5.1.1,kim@example.org}{transient,4.2.2,lee@example.com}",
       "{failed,5.1.1,kim@example.org}"},
      {"postfix: the copy marker ends the list",
       daemon + "\n<kim@example.org>: host mx said: 550 5.1.1 unknown\n" +
           kMarker + "\n<lee@example.com>: host mx said: 552 full\n",
       "{failed,5.1.1,kim@example.org}", "{failed,5.1.1,kim@example.org}"},
      {"the bounce's own To address is passed over",
       daemon + "To: jo@example.com\n\nYour message from jo@example.com to\n"
                "kim@example.org failed: 550 5.1.1 no such user\n",
       "{failed,5.1.1,kim@example.org}", "{,,jo@example.com}"},
      {"the own address when no other follows",
       daemon + "To: jo@example.com\n\njo@example.com: mailbox is full\n",
       "{transient,4.2.2,jo@example.com}", "{transient,4.2.2,jo@example.com}"},
      {"message identifiers are passed over",
       daemon + "\nMessage-ID: <123.abc@mx.example.net>\n"
                "references: <x.1@mx.example.net>\n"
                "kim@example.org: 550 5.1.1 no such user\n",
       "{failed,5.1.1,kim@example.org}", "{,,123.abc@mx.example.net}"},
      {"the envelope sender of a transcript is passed over",
       daemon + "\nMAIL FROM:<jo@example.com> SIZE=100\n"
                "RCPT TO:<kim@example.org>\n550 5.1.1 unknown\n",
       "{failed,5.1.1,kim@example.org}", "{,,jo@example.com}"},
      {"every address passed over: the first one",
       daemon + "\nMessage-ID: <123.abc@mx.example.net>\nsaid: 550 no\n",
       "{failed,5.1.1,123.abc@mx.example.net}",
       "{failed,5.1.1,123.abc@mx.example.net}"},
      {"the search starts below the quoted header",
       daemon + "\nYour message\n  To: lee@example.com\n  Subject: hi\n"
                "did not reach the following recipient(s):\n"
                "kim@example.org on 1/1/2024\n  <mx.example.org #5.1.1>\n",
       "{failed,5.1.1,kim@example.org}", "{,,lee@example.com}"},
  });
}

// The status rules of the thorough reading, on the listed recipients' scan.
TEST(ListedRecipientsTest, ThoroughScanSkipsClassTwoAndPrefersTheLineCode) {
  const auto bounce = [](std::vector<std::string> body) {
    return listedBounce("a@x.test", body);
  };
  expectThoroughCases({
      {"a version number decides nothing",
       bounce({"Mailman 2.0.12 says:", "a@x.test: mailbox is full"}),
       "{transient,4.2.2,a@x.test}", "{success,2.0.12,a@x.test}"},
      {"a delivery that went through decides nothing",
       bounce({"relay said: 250 2.0.0 Ok", "then: 550 5.1.1 no"}),
       "{failed,5.1.1,a@x.test}", "{success,2.0.0,a@x.test}"},
      {"the line's failure code wins over the phrase row",
       bounce({"5.2.2 <a@x.test>... Mailbox Full"}), "{failed,5.2.2,a@x.test}",
       "{transient,4.2.2,a@x.test}"},
      {"an address or longer number is no code",
       bounce({"Mailbox full at 10.5.2.20 and 5.2.2.1"}),
       "{transient,4.2.2,a@x.test}", "{transient,4.2.2,a@x.test}"},
  });
}

// The look-ahead exactly as the rule states it: a line naming the recipient
// first scans the lines after it and keeps its own finding only when that
// comes back empty. Exponential in the naming lines; for short lists only.
std::string literalScan(const std::vector<std::string>& lines,
                        const std::string& recipient, std::size_t start) {
  const Mailvane& m = mailvane();
  for (std::size_t i = start; i < lines.size(); ++i) {
    const std::string line = trim(lines[i]);
    const bool names = containsIgnoreCase(line, recipient);
    if (names) {
      std::string r = literalScan(lines, recipient, i + 1);
      if (!r.empty()) return r;
    }
    std::vector<std::string> found;
    boost::smatch match;
    if (containsIgnoreCase(line, "------ This is a copy of the message") ||
        (m.findAddressInLine(line, found) && !names &&
         line.find("FROM:<") == std::string::npos)) {
      return "";
    }
    if (std::string phrase = m.matchStatusPhrase(line); !phrase.empty()) {
      return phrase;
    }
    if (boost::regex_search(line, match, m.freeTextDotted)) {
      return containsIgnoreCase(line, "Message-ID") ? "" : match.str(1);
    }
    if (boost::regex_search(line, match, m.replyCodeAfterColon) ||
        boost::regex_search(line, match, m.replyCodeAtStart)) {
      const std::string code = match.str(1);
      if (code == "550" || code == "551" || code == "554") return "5.1.1";
      if (code == "452" || code == "552") return "4.2.2";
      if (code == "421") return "4.3.2";
      return std::string{code[0], '.', code[1], '.', code[2]};
    }
  }
  return "";
}

// The process-wide object reads pattern 7 at each "@"; the unfiltered one
// asks the library. Random texts of the pieces that matter (word bytes and
// others, points, "@", top-level names, a byte above 127) must give both
// the same address, or none.
TEST(AddressSearchTest, ScanAnswersAsTheLibrary) {
  static const Mailvane library(false);
  const char* const pieces[] = {"a", "Z",  "9",    "_",   ".",  "-",    "%",
                                "@", "@",  "com",  "Org", "de", "info", "x",
                                " ", "\t", "\x80", "..",  "c0m"};
  const char* const ends[] = {"com", "Org", "de", "info", "x", "c0m", "comm"};
  std::mt19937 random(7);
  auto some = [&](int most) {
    std::string text;
    for (int n = static_cast<int>(random() % (most + 1)); n > 0; --n) {
      text += pieces[random() % std::size(pieces)];
    }
    return text;
  };
  int found = 0;
  for (int round = 0; round < 100000; ++round) {
    // Mostly the shape of an address, with anything around and inside it.
    std::string text = some(3) + some(3) + "@" + some(3) + "." +
                       ends[random() % std::size(ends)] + some(3);
    if (round % 2 == 1) text += "@" + some(2) + "." + ends[round % 7] + some(2);
    std::vector<std::string> scanned;
    std::vector<std::string> searched;
    const bool isFound = mailvane().findAddressInLine(text, scanned);
    ASSERT_EQ(isFound, library.findAddressInLine(text, searched))
        << shown(text);
    ASSERT_EQ(scanned, searched) << shown(text);
    found += isFound;
    // Every address of the line, one after another, as the library's
    // iteration over the whole line gives them.
    std::vector<std::string> each;
    std::string_view address;
    for (std::size_t at = 0; mailvane().findAddressFrom(text, at, address);
         at = address.data() + address.size() - text.data()) {
      each.emplace_back(address);
    }
    std::vector<std::string> iterated;
    for (boost::sregex_iterator
             it(text.begin(), text.end(), library.emailAddress),
         end;
         it != end; ++it) {
      iterated.push_back(it->str(0));
    }
    ASSERT_EQ(each, iterated) << shown(text);
  }
  EXPECT_GT(found, 8000);
}

TEST(ScanForStatusTest, AgreesWithTheLiteralLookAhead) {
  // clang-format off
  std::vector<std::string> kinds = {
      "a@x.test", "  <A@X.TEST> ", "a@x.test: 550 5.1.1 no",
      "a@x.test: Mailbox full", "a@x.test said: 421 later", "b@y.test",
      "b@y.test: 550 5.1.1 no", "MAIL FROM:<s@y.test> SIZE=100", "Mailbox full",
      "said: 450 again", "replied: 5.2.1 disabled", "Message-ID: <99.5.1.1.x>",
      "nothing to see", ""};
  // clang-format on
  kinds.push_back(kMarker);
  kinds.push_back("a@x.test " + kMarker);
  std::mt19937 random(20240101);
  std::uniform_int_distribution<std::size_t> pickKind(0, kinds.size() - 1);
  std::uniform_int_distribution<std::size_t> pickLength(0, 12);
  for (int round = 0; round < 1000; ++round) {
    std::vector<std::string> lines(pickLength(random));
    std::string text;
    for (std::string& line : lines)
      text += (line = kinds[pickKind(random)]) + "\n";
    const std::size_t start = round % (lines.size() + 1);
    for (const std::string recipient : {"a@x.test", ""}) {
      std::string want = literalScan(lines, recipient, start);
      std::string got = scanForStatus(
          mailvane(), TextLines(lines.begin(), lines.end()), recipient, start);
      ASSERT_EQ(got, want) << "recipient \"" << recipient << "\" from " << start
                           << " in:\n"
                           << text;
    }
    // Several listed recipients scanned over the same lines in one pass.
    MessageAnalysis a(mailvane());
    results(a, listedBounce("a@x.test, b@y.test, <A@X.TEST>", lines));
    for (const RecipientResult& r : a.recipients) {
      ASSERT_EQ(r.status, literalScan(lines, r.recipient, 0))
          << "listed " << r.recipient << " in:\n"
          << text;
    }
  }
}

}  // namespace
