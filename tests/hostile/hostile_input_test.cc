// Hostile inputs through the real executable: each generated input (see
// hostile_inputs.h) must finish with exactly the console lines and rows the
// rules give, and an input that drives a pattern into the regex library's
// limits must cost only its own message. Inputs are generated at test time in
// a scratch directory, one at a time, and removed after use.
//
// Running time is not checked here (bench/hostile.sh measures it). The
// 200 MB input runs only in unsanitized builds: under AddressSanitizer it
// needs some 20 s and 900 MB, and every code path it reaches is reached by
// the smaller inputs too.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "hostile/hostile_inputs.h"
#include "test_util.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kIsSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kIsSanitized = true;
#else
constexpr bool kIsSanitized = false;
#endif
#else
constexpr bool kIsSanitized = false;
#endif

const std::set<std::string> kUnsanitizedOnly = {"message-200mb.eml"};

// The longest text one console print keeps.
constexpr std::size_t kPrintLimit = 8191;

std::string printed(std::string text) {
  if (text.size() > kPrintLimit) text.resize(kPrintLimit);
  return text;
}

const char* yesNo(bool flag) { return flag ? "yes" : "no"; }

// The console text the rules give for one message at `path`.
std::string expectedConsole(const std::string& path,
                            const hostile::Expected& expected) {
  std::string text = "[stamp] Parsing eml " + path + "\n";
  if (!expected.abandonedWith.empty()) {
    return text + "[stamp] Unable to analyse eml " + path + " (" +
           expected.abandonedWith + ")\n";
  }
  text += printed(std::string("  Bounce?: ") + yesNo(expected.isBounce) + "\n");
  text += printed(std::string("  FBL?: ") + yesNo(expected.isFbl) + "\n");
  text += printed(std::string("  Autoresponse?: ") +
                  yesNo(expected.isAutoResponse) + "\n");
  text += printed("  Subject: " + expected.subject + "\n");
  for (const hostile::Row& row : expected.rows) {
    text += printed("  Action: " + row.action + "\n");
    text += printed("  Status: " + row.status + "\n");
    text += printed("  Recipient: " + row.recipient + "\n");
  }
  return text;
}

// The records of a CSV text whose fields are all quoted (a doubled quote
// stands for one); false when the text is not made of such records, each
// ending in CRLF.
bool parseRows(const std::string& text,
               std::vector<std::vector<std::string>>& rows) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::vector<std::string> fields;
    for (;;) {
      if (text[at] != '"') return false;
      std::string field;
      for (++at;; ++at) {
        if (at >= text.size()) return false;
        if (text[at] == '"') {
          if (at + 1 < text.size() && text[at + 1] == '"') {
            field += '"';
            ++at;
            continue;
          }
          ++at;
          break;
        }
        field += text[at];
      }
      fields.push_back(std::move(field));
      if (text.compare(at, 2, "\r\n") == 0) break;
      if (at >= text.size() || text[at] != ',') return false;
      ++at;
    }
    at += 2;
    rows.push_back(std::move(fields));
  }
  return true;
}

// Checks the rows of `csv` against the expected rows of the message `name`.
void expectRows(const std::string& csv, const std::string& name,
                const hostile::Expected& expected) {
  std::vector<std::vector<std::string>> rows;
  ASSERT_TRUE(parseRows(csv, rows)) << "the output is not whole CSV rows";
  ASSERT_EQ(rows.size(), expected.rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), 6u) << "row " << i;
    EXPECT_EQ(rows[i][0].size(), 17u) << "row " << i << " stamp";
    EXPECT_EQ(rows[i][1], name) << "row " << i;
    hostile::Row got{rows[i][2], rows[i][3], rows[i][4]};
    const hostile::Row& want = expected.rows[i];
    if (got != want) {
      ADD_FAILURE() << "row " << i << ": got " << got.action << "/"
                    << got.status << "/" << got.recipient << ", want "
                    << want.action << "/" << want.status << "/"
                    << want.recipient;
      return;
    }
    if (rows[i][5] != expected.subject) {
      ADD_FAILURE() << "row " << i << ": subject of " << rows[i][5].size()
                    << " bytes, want " << expected.subject.size();
      return;
    }
  }
}

// Where the console differs first, for a readable failure on huge texts.
std::string firstDifference(const std::string& got, const std::string& want) {
  std::size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  std::size_t from = i < 80 ? 0 : i - 80;
  return "at byte " + std::to_string(i) + "\n  got:  ..." +
         got.substr(from, 160) + "\n  want: ..." + want.substr(from, 160);
}

class HostileInputTest : public testing::TestWithParam<std::string> {};

TEST_P(HostileInputTest, FinishesWithTheConsoleLinesAndRowsTheRulesGive) {
#ifdef _WIN32
  GTEST_SKIP() << "runs the program through a POSIX shell";
#else
  if (kIsSanitized && kUnsanitizedOnly.count(GetParam()) > 0) {
    GTEST_SKIP() << "too big for AddressSanitizer; runs in the Release build";
  }
  std::vector<hostile::HostileInput> inputs = hostile::hostileInputs();
  const hostile::HostileInput* input = nullptr;
  for (const auto& candidate : inputs) {
    if (candidate.name == GetParam()) input = &candidate;
  }
  ASSERT_NE(input, nullptr);

  ScratchDir dir;
  {
    hostile::ChunkWriter out(dir.path() / input->name);
    input->write(out);
    out.close();
    ASSERT_TRUE(out.ok()) << "cannot write the input";
  }
  MailvaneRun run =
      runMailvane(dir.path(), {"-eml", input->name, "-out", "out.csv"});
  std::filesystem::remove(dir.path() / input->name);

  EXPECT_EQ(run.status, 0);
  std::string want = expectedConsole(input->name, input->expected);
  if (run.console != want) {
    ADD_FAILURE() << "console " << firstDifference(run.console, want);
  }
  expectRows(readFile(dir.path() / "out.csv"), input->name, input->expected);
#endif
}

std::vector<std::string> inputNames() {
  std::vector<std::string> names;
  for (const auto& input : hostile::hostileInputs()) {
    names.push_back(input.name);
  }
  return names;
}

INSTANTIATE_TEST_SUITE_P(Generated, HostileInputTest,
                         testing::ValuesIn(inputNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name =
                               info.param.substr(0, info.param.rfind('.'));
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

// A message that drives a pattern past a limit of the regex library (see
// regexLimitInputs) and one ordinary bounce, in one directory run: the first
// is reported as not analysed with the library's own words and
// gets no verdicts and no rows, and the bounce still gets its report and row,
// whatever the order of the directory listing.
TEST(RegexLimitTest, MessageIsAbandonedAndTheRunGoesOn) {
#ifdef _WIN32
  GTEST_SKIP() << "runs the program through a POSIX shell";
#else
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "mail");
  std::vector<hostile::HostileInput> inputs = hostile::regexLimitInputs();
  hostile::Expected after;
  after.isBounce = true;
  after.subject = "Mail delivery failed";
  after.rows = {{"failed", "5.1.1", "lost@example.org"}};
  inputs.push_back({"after.eml",
                    [](hostile::ChunkWriter& out) {
                      out.put(
                          "From: MAILER-DAEMON@example.org\r\n"
                          "Subject: Mail delivery failed\r\n"
                          "X-failed-recipients: lost@example.org\r\n\r\n"
                          "550 5.1.1 user unknown\r\n");
                    },
                    after});
  for (const auto& input : inputs) {
    hostile::ChunkWriter out(dir.path() / "mail" / input.name);
    input.write(out);
  }

  MailvaneRun run =
      runMailvane(dir.path(), {"-dir", "mail", "-out", "out.csv"});

  // EX_DATAERR: a message was given up, the others were read.
  EXPECT_EQ(run.status, 65);
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.name);
    std::string want = expectedConsole("mail/" + input.name, input.expected);
    EXPECT_NE(run.console.find(want), std::string::npos)
        << "got console:\n"
        << run.console.substr(0, 4000) << "\nwant within it:\n"
        << want;
  }
  expectRows(readFile(dir.path() / "out.csv"), "after.eml", after);
#endif
}

}  // namespace
