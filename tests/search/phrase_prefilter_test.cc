// The prefilter in front of the phrase table and the free-text line patterns
// only saves work: the prefiltered pattern object must decide every line and
// every message exactly as a reference object that tries every pattern, the
// phrase rows one by one in table order. Both run over every line of the
// example messages and of the development corpus, and over lines generated
// from fragments of the table rows.

#include "search/phrase_prefilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/analysis_test_util.h"
#include "analysis/message_analysis.h"
#include "analysis/patterns.h"
#include "search/search.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

const Mailvane& reference() {
  static const Mailvane rowByRow(false);
  return rowByRow;
}

// Reports the first few differences only; a broken filter differs on
// thousands of lines.
class Differences {
 public:
  void add(const std::string& what) {
    if (++count_ <= 10) ADD_FAILURE() << what;
  }
  int count() const { return count_; }

 private:
  int count_ = 0;
};

// Every pattern that matches `line` must be a candidate, and the line must
// be decided the same way with and without the filter: the phrase status
// (against the rows tried one by one here) and, with `isScanCompared`, the
// whole line test of the free-text scan for a recipient the line does not
// name and, when the line holds an address (only then does it matter), for
// one it names. Without it the scan is compared through whole analyses.
void checkLine(std::string_view line, Differences& differences,
               bool isScanCompared = true) {
  const Mailvane& fast = mailvane();
  const Mailvane& slow = reference();
  const LineTest test(fast, line);
  std::string want;
  bool isDecided = false;
  boost::match_results<std::string_view::const_iterator> match;
  // Most lines match no row at all, which one search over all of them
  // together tells (in a fraction of the time, and under the sanitizers
  // that matters); the rows are tried one by one on the others.
  static const boost::regex anyRow = [] {
    std::string rows;
    for (const StatusPhraseRow& row : StatusPhraseTable) {
      rows += (rows.empty() ? "(?:" : "|(?:") + std::string(row.pattern) + ")";
    }
    return boost::regex(rows, boost::regex::perl | boost::regex::icase);
  }();
  const bool isAnyRowMatching =
      boost::regex_search(line.begin(), line.end(), anyRow);
  for (std::size_t row = 0; isAnyRowMatching && row < kStatusPhraseRowCount;
       ++row) {
    if (!boost::regex_search(line.begin(), line.end(), match,
                             slow.statusPhraseRows[row])) {
      continue;
    }
    if (!test.mayMatchRow(row)) {
      differences.add("row " + std::to_string(row) +
                      " matches but was ruled out: " + shown(line));
    }
    if (!isDecided) {
      want = match.size() > 1 ? match.str(1) : StatusPhraseTable[row].status;
      isDecided = true;
    }
  }
  const std::pair<const boost::regex*, LineRule> linePatterns[] = {
      {&slow.emailAddress, LineRule::kAddress},
      {&slow.freeTextDotted, LineRule::kDottedCode},
      {&slow.replyCodeAfterColon, LineRule::kReplyAfterColon},
      {&slow.replyCodeAtStart, LineRule::kReplyAtStart},
  };
  for (const auto& [pattern, rule] : linePatterns) {
    if (boost::regex_search(line.begin(), line.end(), *pattern) !=
        test.matches(rule)) {
      differences.add("line rule " + std::to_string(static_cast<int>(rule)) +
                      " answers otherwise than the library: " + shown(line));
    }
  }
  const std::string got = fast.matchStatusPhrase(line);
  if (got != want) {
    differences.add("phrase status of " + shown(line) + ": got " + got +
                    ", want " + want);
  }
  if (!isScanCompared) return;
  const TextLines lines{line};
  std::vector<std::string> recipients{std::string()};
  if (boost::regex_search(line.begin(), line.end(), slow.emailAddress)) {
    recipients.push_back(trim(line));
  }
  for (const std::string& recipient : recipients) {
    const std::string scanGot = scanForStatus(fast, lines, recipient, 0);
    const std::string scanWant = scanForStatus(slow, lines, recipient, 0);
    if (scanGot != scanWant) {
      differences.add("scan of " + shown(line) + " for \"" + recipient +
                      "\": got " + scanGot + ", want " + scanWant);
    }
  }
}

// The lines of a file as the free-text scan sees them: cut at line feeds,
// a final carriage return removed, trimmed. A CR-only file is one line to
// the reader; its first kilobyte stands in for that line (carriage returns
// inside), and its lines cut at carriage returns are added too.
void addLinesOf(const std::string& text, std::set<std::string>& lines) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find('\r') != std::string::npos) {
      for (std::size_t from = 0; from < line.size();) {
        std::size_t cut = std::min(line.find('\r', from), line.size());
        lines.insert(trim(std::string_view(line).substr(from, cut - from)));
        from = cut + 1;
      }
      line.resize(std::min<std::size_t>(line.size(), 1024));
    }
    lines.insert(trim(line));
  }
}

std::string describe(const MessageAnalysis& a) {
  std::string out = std::string(a.isBounce ? "B" : "-") +
                    (a.isFbl ? "F" : "-") + (a.isAutoResponse ? "A" : "-") +
                    " " + a.subject;
  for (const RecipientResult& r : a.recipients) {
    out += " {" + r.action + "," + r.status + "," + r.recipient + "}";
  }
  return out;
}

// Every line of every file, and the analysis of every file both ways.
void checkFiles(const std::vector<fs::path>& files) {
  Differences differences;
  std::set<std::string> lines;
  MessageAnalysis fast(mailvane());
  MessageAnalysis slow(reference());
  for (const fs::path& path : files) {
    const std::string text = readFile(path);
    addLinesOf(text, lines);
    MessageBuffer buffer;
    loadBytes(buffer, text);
    fast.analyse(&buffer);
    slow.analyse(&buffer);
    if (describe(fast) != describe(slow)) {
      differences.add(path.string() + ": got " + describe(fast) + ", want " +
                      describe(slow));
    }
  }
  for (const std::string& line : lines) checkLine(line, differences, false);
  EXPECT_EQ(differences.count(), 0)
      << files.size() << " files, " << lines.size() << " distinct lines";
}

std::vector<fs::path> emlFilesUnder(const fs::path& dir) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file() && entry.path().extension() == ".eml") {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Writes a text that a phrase row matches, choosing at random wherever the
// row leaves a choice. Knows what the rows use: literals, escapes, \d,
// bracket classes, ".", groups, "|" and the quantifiers ? * + {m,n}.
class RowSampler {
 public:
  explicit RowSampler(std::mt19937& random) : random_(random) {}

  std::string sample(std::string_view pattern) {
    std::size_t at = 0;
    std::string out;
    emitBranches(parseBranches(pattern, at), out);
    return out;
  }

 private:
  struct Node {
    std::string choices;  // one of these bytes, for a non-group
    std::vector<std::vector<Node>> branches;
    int min = 1;
    int max = 1;
  };

  static std::vector<std::vector<Node>> parseBranches(std::string_view p,
                                                      std::size_t& at) {
    std::vector<std::vector<Node>> branches(1);
    while (at < p.size() && p[at] != ')') {
      if (p[at] == '|') {
        branches.emplace_back();
        ++at;
        continue;
      }
      Node node;
      const char c = p[at++];
      if (c == '(') {
        if (p.substr(at, 2) == "?:") at += 2;
        node.branches = parseBranches(p, at);
        ++at;  // ")"
      } else if (c == '[') {
        for (; p[at] != ']'; ++at) {
          if (p[at + 1] == '-' && p[at + 2] != ']') {
            for (char x = p[at]; x <= p[at + 2]; ++x) node.choices += x;
            at += 2;
          } else {
            node.choices += p[at];
          }
        }
        ++at;
      } else if (c == '\\') {
        const char e = p[at++];
        node.choices = e == 'd' ? "0123456789" : std::string(1, e);
      } else if (c == '.') {
        node.choices = "aZ0 -_#";
      } else {
        node.choices = std::string(1, c);
      }
      if (at < p.size()) {
        switch (p[at]) {
          case '?':
            node.min = 0;
            node.max = 1;
            ++at;
            break;
          case '*':
            node.min = 0;
            node.max = 3;
            ++at;
            break;
          case '+':
            node.min = 1;
            node.max = 3;
            ++at;
            break;
          case '{': {
            std::size_t close = p.find('}', at);
            std::string range(p.substr(at + 1, close - at - 1));
            std::size_t comma = range.find(',');
            node.min = std::stoi(range.substr(0, comma));
            node.max = comma == std::string::npos
                           ? node.min
                           : std::stoi(range.substr(comma + 1));
            at = close + 1;
            break;
          }
          default:
            break;
        }
        if (at < p.size() && p[at] == '?') ++at;  // lazy
      }
      branches.back().push_back(std::move(node));
    }
    return branches;
  }

  int pick(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random_);
  }

  void emitBranches(const std::vector<std::vector<Node>>& branches,
                    std::string& out) {
    const auto& branch =
        branches[pick(0, static_cast<int>(branches.size()) - 1)];
    for (const Node& node : branch) {
      for (int n = pick(node.min, node.max); n > 0; --n) {
        if (node.choices.empty()) {
          emitBranches(node.branches, out);
        } else {
          out +=
              node.choices[pick(0, static_cast<int>(node.choices.size()) - 1)];
        }
      }
    }
  }

  std::mt19937& random_;
};

// Letter case changed at random, byte by byte.
std::string mixCase(std::string text, std::mt19937& random) {
  for (char& c : text) {
    if (random() % 2 == 0) continue;
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    else if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string withCase(std::string text, bool isUpper) {
  for (char& c : text) {
    if (isUpper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (!isUpper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Fragments that the code patterns and the line tests look for, line
// separators, and bytes that the C locale does not fold.
const std::vector<std::string>& fragments() {
  static const std::vector<std::string> kFragments = {
      "550 5.1.1",
      "550-5.1.1",
      "550 #5.1.1",
      "452 4.2.2",
      "Status: 4.4.1",
      "Diagnostic-Code: smtp; 550 5.1.10",
      "said: 550 ",
      "]: 421 ",
      ": 553 ",
      "451 zz denied",
      "5.1.1",
      " 5.7.1 ",
      "(5.2.2)",
      "4.2.2.",
      "2.0.0 ",
      "nadia@example.org",
      "a@b.c",
      "MAIL FROM:<s@y.test>",
      "Mail From:<",
      "Message-ID: <1.5.1.1@x.test>",
      "------ This is a copy of the message",
      "\r",
      "\n",
      "\f",
      "\v",
      "\t",
      std::string(1, '\0'),
      "\x85",
      "\xC4",
      "\xE4",
      "\xDD",
      "\xFD",
      "\xFF",
      "  ",
      ".",
      "-",
      "#",
      ":",
      ";",
      "'",
  };
  return kFragments;
}

TEST(PhrasePrefilterTest, RulesOutOnlyWhatCannotMatch) {
  const auto perl = boost::regex::perl;
  const auto icase = boost::regex::perl | boost::regex::icase;
  const PhrasePrefilter filter({
      {"over ?quota", icase},                              // 0
      {R"([45]\d\d[- ]#?([45]\.\d\.\d{1,3}))", icase},     // 1
      {"foo(?=bar)", icase},                               // 2: not understood
      {"Mailbox (full|is full)", icase},                   // 3
      {"auto_reply", perl},                                // 4: case counts
      {R"(\bblocke?d? for spam\b|^IPs blocked$)", icase},  // 5
      {"the recipient's mailbox is over its quota", icase},  // 6: long
      // 7: its words are searched for, not the blank between them
      {R"(^(I am|I'm).{0,20}\s(away|on leave))", icase},
  });
  EXPECT_TRUE(filter.isAlwaysCandidate(2));
  EXPECT_FALSE(filter.isAlwaysCandidate(1));
  // Other syntaxes read the same text differently: never ruled out.
  EXPECT_TRUE(PhrasePrefilter({{"a(b", perl | boost::regex::literal}})
                  .isAlwaysCandidate(0));
  // Each text and the patterns that stay candidates for it.
  const std::pair<std::string, std::string> cases[] = {
      {"", "2"},
      {"OVERQUOTA", "02"},
      {"over quot", "2"},
      {"said 550 5.1.1 over quota", "012"},
      {"550 511", "2"},
      {"MAILBOX is full", "23"},
      {"mailboxfull", "2"},
      {"auto_reply", "24"},
      {"AUTO_REPLY", "2"},
      {"BLOCK FOR SPAM", "25"},
      {"ips BLOCKED", "25"},
      {"ips block", "2"},
      // A long piece is searched for as a stretch of it, never longer than
      // what the text shares with the pattern.
      {"The recipient's mailbox is over its quota.", "0236"},
      {"the recipient mailbox is over quota", "023"},
      {"I am out", "2"},
      {"we are away", "27"},
  };
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(text);
    const PatternCandidates candidates = filter.candidates(text);
    std::string got;
    for (std::size_t i = candidates.next(0); i < PatternCandidates::kCapacity;
         i = candidates.next(i + 1)) {
      got += std::to_string(i);
    }
    EXPECT_EQ(got, want) << "got " << got << ", want " << want;
  }
}

// A random pattern of the syntax the prefilter reads, over a few letters,
// and in `sample` a text that matches it unless an anchor or a possessive
// mark is in the way.
std::string randomPattern(std::mt19937& random, int depth,
                          std::string& sample) {
  struct Atom {
    const char* text;
    char sample;
  };
  static const Atom kAtoms[] = {
      {"a", 'a'},   {"b", 'b'},   {"o", 'o'},    {"f", 'f'},    {"5", '5'},
      {" ", ' '},   {"-", '-'},   {"[ab]", 'b'}, {"[^a]", 'o'}, {"\\d", '5'},
      {"\\s", ' '}, {"\\w", 'f'}, {".", '-'},    {"\\-", '-'}};
  static const char* const kAnchors[] = {"^", "$", "\\b", "\\B"};
  // Each quantifier with the fewest and most copies a sample takes.
  static const std::tuple<const char*, int, int> kQuantifiers[] = {
      {"+", 1, 3},   {"*", 0, 3},    {"?", 0, 1},  {"{1,2}", 1, 2},
      {"{2}", 2, 2}, {"{0,}", 0, 2}, {"+?", 1, 3}, {"*+", 0, 2}};
  std::string pattern;
  sample.clear();
  const int branches = random() % 4 == 0 ? 2 : 1;
  const int chosen = static_cast<int>(random() % branches);
  for (int branch = 0; branch < branches; ++branch) {
    if (branch > 0) pattern += '|';
    std::string branchSample;
    for (int items = 1 + random() % 4; items > 0; --items) {
      const unsigned kind = random() % 10;
      if (kind == 0) {
        pattern += kAnchors[random() % 4];
        continue;
      }
      std::string itemSample;
      if (kind <= 2 && depth > 0) {
        pattern += random() % 2 == 0 ? "(" : "(?:";
        pattern += randomPattern(random, depth - 1, itemSample) + ")";
      } else {
        const Atom& atom = kAtoms[random() % std::size(kAtoms)];
        pattern += atom.text;
        itemSample = atom.sample;
      }
      int copies = 1;
      if (random() % 3 == 0) {
        const auto& [mark, fewest, most] = kQuantifiers[random() % 8];
        pattern += mark;
        copies = fewest + static_cast<int>(random() % (most - fewest + 1));
      }
      for (int i = 0; i < copies; ++i) branchSample += itemSample;
    }
    if (branch == chosen) sample = branchSample;
  }
  return pattern;
}

// The property every answer rests on: a pattern that matches a text is a
// candidate for it. Texts are samples of the patterns with few or many
// random bytes around them, and random bytes alone.
TEST(PhrasePrefilterTest, AMatchingPatternIsAlwaysACandidate) {
  std::mt19937 random(14);
  const auto perl = boost::regex::perl;
  const char kLetters[] = "abofAB5 -\n";
  auto randomBytes = [&](int most) {
    std::string text;
    for (int n = random() % (most + 1); n > 0; --n) {
      text += kLetters[random() % (sizeof kLetters - 1)];
    }
    return text;
  };
  int checked = 0;
  for (int round = 0; round < 300; ++round) {
    std::vector<PhrasePrefilter::Pattern> patterns;
    std::vector<std::string> texts;
    for (int i = 0; i < 8; ++i) {
      std::string sample;
      const boost::regex::flag_type flags =
          random() % 2 == 0 ? perl : perl | boost::regex::icase;
      patterns.push_back({randomPattern(random, 2, sample), flags});
      texts.push_back(randomBytes(3) + sample + randomBytes(3));
      texts.push_back(randomBytes(8));
      // Long enough to be walked in two halves, the sample anywhere in it.
      texts.push_back(randomBytes(90) + sample + randomBytes(90));
    }
    if (round == 0) {
      patterns[0] = {"fo+bar", perl};
      texts[0] = "foobar";
    }
    const PhrasePrefilter filter(patterns);
    for (const std::string& text : texts) {
      const PatternCandidates candidates = filter.candidates(text);
      for (std::size_t i = 0; i < patterns.size(); ++i) {
        const boost::regex re(patterns[i].text, patterns[i].flags);
        bool isMatch = false;
        try {
          isMatch = boost::regex_search(text, re);
        } catch (const std::runtime_error&) {
          continue;  // nested repeats beyond the library's complexity limit
        }
        if (!isMatch) continue;
        if (!filter.isAlwaysCandidate(i)) ++checked;
        ASSERT_TRUE(candidates.has(i))
            << "/" << patterns[i].text << "/ matches " << shown(text);
      }
    }
  }
  // Enough matches of patterns the filter does rule out elsewhere.
  EXPECT_GT(checked, 2000);
}

TEST(PhrasePrefilterTest, EveryLineAndSubjectPatternHasARequiredPiece) {
  // A pattern the derivation gives up on is tried on every line (or
  // subject), which is still correct but slow; none of the tables' should
  // be one.
  const auto icase = boost::regex::perl | boost::regex::icase;
  auto global = [](std::size_t index) {
    return PhrasePrefilter::Pattern{
        patternBody(kGlobalPatternTexts[index]),
        patternFlags(kGlobalPatternTexts[index], boost::regex::perl)};
  };
  std::vector<PhrasePrefilter::Pattern> linePatterns;
  for (const StatusPhraseRow& row : StatusPhraseTable) {
    linePatterns.push_back({patternBody(row.pattern), icase});
  }
  for (std::size_t index : {6, 13, 14, 15}) {
    linePatterns.push_back(global(index));
  }
  std::vector<PhrasePrefilter::Pattern> subjectPatterns;
  for (const char* row : AutoReplySubjectPatterns) {
    subjectPatterns.push_back({row, icase});
  }
  subjectPatterns.push_back(global(0));
  subjectPatterns.push_back(global(5));
  std::vector<PhrasePrefilter::Pattern> headerPatterns;
  for (std::size_t index : {1, 2, 3, 4})
    headerPatterns.push_back(global(index));
  for (const auto& patterns : {linePatterns, subjectPatterns, headerPatterns}) {
    const PhrasePrefilter filter(patterns);
    for (std::size_t i = 0; i < patterns.size(); ++i) {
      EXPECT_FALSE(filter.isAlwaysCandidate(i)) << patterns[i].text;
    }
  }
}

// Each fast path steps aside, silently and correctly, when its pattern's
// text is not the one it reads; for the shipped tables every one must be
// engaged, or a long line is a backtracking search again. The reference
// object engages none.
TEST(PhrasePrefilterTest, EveryFastPathIsEngagedForTheShippedTables) {
  const std::vector<Mailvane::FastPath> paths = mailvane().fastPaths();
  EXPECT_EQ(paths.size(), 8u);
  for (const Mailvane::FastPath& path : paths) {
    EXPECT_TRUE(path.isEngaged) << path.name << " has stepped aside";
  }
  for (const Mailvane::FastPath& path : reference().fastPaths()) {
    EXPECT_FALSE(path.isEngaged) << path.name << " in the reference";
  }
}

// A hand scan engages for its own text only: any other, however close,
// is left to the library.
TEST(PhrasePrefilterTest, HandScansStepAsideForAnyOtherText) {
  EXPECT_TRUE(AddressScan(AddressScan::kEmailAddress).isEngaged());
  for (const char* text : {R"(/\b([A-Z0-9._%-]+@[A-Z0-9.-]+\.[A-Z]{2,5})\b/i)",
                           R"(/\b([A-Z0-9._%-]+@[A-Z0-9.-]+\.[A-Z]{2,4})\b/)",
                           R"(\b([A-Z0-9._%-]+@[A-Z0-9.-]+\.[A-Z]{2,4})\b)"}) {
    EXPECT_FALSE(AddressScan(text).isEngaged()) << text;
  }
  using Scan = StatusCodeScan;
  const std::string_view texts[] = {
      Scan::kDiagnosticDotted, Scan::kDiagnosticThreeDigit, Scan::kStatusDotted,
      Scan::kStatusThreeDigit};
  EXPECT_TRUE(Scan(texts[0], texts[1], texts[2], texts[3]).isEngaged());
  for (std::size_t changed = 0; changed < std::size(texts); ++changed) {
    std::string_view given[4] = {texts[0], texts[1], texts[2], texts[3]};
    const std::string widened = std::string(texts[changed]) + " ";
    given[changed] = widened;
    EXPECT_FALSE(Scan(given[0], given[1], given[2], given[3]).isEngaged())
        << texts[changed];
  }
  // The same four texts in another order are other patterns.
  EXPECT_FALSE(Scan(texts[1], texts[0], texts[2], texts[3]).isEngaged());
}

// Header values that hold a pattern's piece in the wrong case or place, or
// after a line break (where "^" matches too), are answered as the library
// answers them.
TEST(PhrasePrefilterTest, HeaderRulesAnswerAsTheLibrary) {
  const std::pair<HeaderRule, const boost::regex*> rules[] = {
      {HeaderRule::kPrecedenceAutoReply, &reference().precedenceAutoReply},
      {HeaderRule::kPostmasterFrom, &reference().postmasterFrom},
      {HeaderRule::kFeedbackReportType, &reference().feedbackReportType},
      {HeaderRule::kXLoopScomp, &reference().xLoopScomp},
  };
  const char* const texts[] = {
      "",
      "auto_reply",
      "AUTO_REPLY",
      "bulk; auto_reply",
      "MAILER-DAEMON@mx.example.org",
      "Mail Delivery System <MAILER-DAEMON@mx.example.org>",
      "postmaster",
      "Postmaster <postmaster@example.org>",
      "x\npostmaster",
      "postmaste",
      "feedback-report",
      "Feedback-Report",
      "scomp",
      "SCOMP; scomp",
  };
  for (const char* text : texts) {
    const std::string_view view = text;
    for (const auto& [rule, pattern] : rules) {
      EXPECT_EQ(mailvane().matchesHeaderRule(rule, view),
                boost::regex_search(view.begin(), view.end(), *pattern))
          << "rule " << static_cast<int>(rule) << " on " << shown(view);
    }
  }
}

// A literal set is exact only where every literal is searched for whole;
// then its candidates are the texts it matches.
TEST(PhrasePrefilterTest, LiteralSetsWholeAreExact) {
  const auto icase = boost::regex::perl | boost::regex::icase;
  const std::string longWord(40, 'w');
  PatternCandidates literalSets;
  for (std::size_t i : {0, 1}) literalSets.add(i);
  const PhrasePrefilter filter(
      {{"undeliverable|failure notice|warning: message", icase},
       {"short|" + longWord, icase},
       {"over quota", icase}},
      literalSets);
  EXPECT_TRUE(filter.isExact(0));
  EXPECT_FALSE(filter.isExact(1));  // the long word is searched in part
  EXPECT_FALSE(filter.isExact(2));  // not offered as a literal set
  const boost::regex words("undeliverable|failure notice|warning: message",
                           icase);
  for (const char* text :
       {"Undeliverable: hi", "UNDELIVERABL", "re: FAILURE NOTICE",
        "failure  notice", "Warning: Message delayed", "warning:message", ""}) {
    EXPECT_EQ(filter.candidates(text).has(0), boost::regex_search(text, words))
        << text;
  }
}

// Subjects holding the words pattern 1 opens with, in any case, whole or
// cut short, are answered as the library answers them.
TEST(PhrasePrefilterTest, BounceSubjectsAnswerAsTheLibrary) {
  const std::string body = patternBody(kGlobalPatternTexts[0]);
  std::vector<std::string> subjects = {"", "Auto reply: away",
                                       "Out of the office", "Vacation"};
  std::string_view words = body;
  words = words.substr(1, words.find(')') - 1);
  for (std::size_t start = 0; start <= words.size();) {
    std::size_t end = std::min(words.find('|', start), words.size());
    const std::string word(words.substr(start, end - start));
    start = end + 1;
    subjects.push_back("Re: " + withCase(word, true) + " (x)");
    subjects.push_back(word.substr(1));
    subjects.push_back(word.substr(0, word.size() - 1));
  }
  for (const std::string& subject : subjects) {
    EXPECT_EQ(mailvane().matchesBounceSubject(
                  subject, mailvane().subjectCandidates(subject)),
              boost::regex_search(subject, reference().bounceSubject))
        << shown(subject);
  }
}

TEST(PhrasePrefilterTest, ExampleMessagesDecideAsWithoutFilter) {
  checkFiles(emlFilesUnder(fs::path(MAILVANE_SOURCE_DIR) / "examples"));
}

// Uses the development corpus beside the repository, which exists for
// development and CI only; skipped where it is absent.
TEST(PhrasePrefilterTest, CorpusDecidesAsWithoutFilter) {
  const fs::path corpus = fs::path(MAILVANE_SHARED_DIR) / "corpus";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  checkFiles(emlFilesUnder(corpus));
}

TEST(PhrasePrefilterTest, GeneratedLinesDecideAsWithoutFilter) {
  std::mt19937 random(20240311);
  RowSampler sampler(random);
  Differences differences;
  std::vector<std::string> samples;
  for (const StatusPhraseRow& row : StatusPhraseTable) {
    for (int n = 0; n < 3; ++n) samples.push_back(sampler.sample(row.pattern));
  }
  // A sample matches its row, or an earlier one.
  for (const std::string& sample : samples) {
    if (reference().matchStatusPhrase(sample).empty()) {
      differences.add("no row matches the sample " + shown(sample));
    }
  }
  const std::vector<std::string>& extra = fragments();
  auto anyOf = [&](const std::vector<std::string>& list) -> const std::string& {
    return list[random() % list.size()];
  };
  for (const std::string& sample : samples) {
    checkLine(sample, differences);
    checkLine(withCase(sample, true), differences);
    checkLine(withCase(sample, false), differences);
    checkLine(mixCase(sample, random), differences);
    checkLine("said: " + sample + " (in reply to RCPT TO command)",
              differences);
    // Cut short, a byte dropped, a separator or a high byte put in.
    checkLine(sample.substr(0, sample.size() - 1), differences);
    std::string changed = sample;
    const std::size_t at = random() % sample.size();
    changed.erase(at, 1);
    checkLine(changed, differences);
    changed = sample;
    changed.insert(at, anyOf(extra));
    checkLine(changed, differences);
    changed = sample;
    changed[at] = static_cast<char>(0x80 + random() % 0x80);
    checkLine(changed, differences);
  }
  // Splices of two rows, and lines pieced together from samples and
  // fragments.
  for (int n = 0; n < 1000; ++n) {
    const std::string& a = anyOf(samples);
    const std::string& b = anyOf(samples);
    checkLine(a.substr(0, random() % (a.size() + 1)) +
                  b.substr(random() % (b.size() + 1)),
              differences);
    std::string line;
    for (int pieces = 1 + random() % 4; pieces > 0; --pieces) {
      line += random() % 2 ? mixCase(anyOf(samples), random) : anyOf(extra);
      if (random() % 2) line += ' ';
    }
    checkLine(line, differences);
  }
  EXPECT_EQ(differences.count(), 0);
}

}  // namespace
