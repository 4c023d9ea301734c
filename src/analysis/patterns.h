// The analyser's vocabulary: the sixteen patterns compiled at start-up, the
// seven auto-reply subject patterns, the 209-row phrase table that maps
// rejection wording to RFC 3463 enhanced status codes, and the reverse base64
// table used by the encoded-word decoder.
//
// Every pattern is Perl syntax for Boost.Regex and every test is a search for
// the leftmost match anywhere in the text, with the library's default match
// options. Everything here is built once, before main, by the single
// Mailvane object and is read-only afterwards. The library's exceptions
// (compile errors, matching-complexity and stack limits) pass through; the
// per-message step catches them.

#ifndef MAILVANE_ANALYSIS_PATTERNS_H_
#define MAILVANE_ANALYSIS_PATTERNS_H_

#include <boost/regex.hpp>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message/ascii_text.h"
#include "search/search.h"

using PatternFlags = boost::regex_constants::syntax_option_type;

// The pattern proper of a text written /pattern/flags, or the whole text
// when it does not start with "/" or has no closing "/".
std::string patternBody(std::string_view text);

// `baseOptions` plus case-insensitive when the /pattern/flags form carries an
// "i" after its closing "/"; no other flag letter has a meaning.
PatternFlags patternFlags(std::string_view text, PatternFlags baseOptions);

// Compiles patternBody(text) with Perl syntax and patternFlags(text, base).
// Throws the library's exception on a compile error.
boost::regex compilePattern(std::string_view text,
                            PatternFlags baseOptions = boost::regex::perl);

// One row of the phrase table: a pattern (always tried case-insensitively)
// and the status it gives. Rows whose pattern has a capture group give the
// text captured by group 1 instead; their status column is a filler.
struct StatusPhraseRow {
  const char* pattern;
  const char* status;
};

constexpr std::size_t kAutoReplySubjectPatternCount = 7;
constexpr std::size_t kStatusPhraseRowCount = 209;
constexpr std::size_t kGlobalPatternCount = 16;

extern const char* const
    AutoReplySubjectPatterns[kAutoReplySubjectPatternCount];
extern const StatusPhraseRow StatusPhraseTable[kStatusPhraseRowCount];
// The sixteen global pattern texts in /pattern/flags form, in member order.
extern const char* const kGlobalPatternTexts[kGlobalPatternCount];

// A match of a search in a string_view, with its groups. The searches that
// run on every message or line keep theirs in a thread_local ("kept: see
// ViewMatch"): a new one allocates its group array at every search, and the
// pattern object they belong to is one const object shared by every call.
using ViewMatch = boost::match_results<std::string_view::const_iterator>;

// Patterns 2 to 5, searched in header values.
enum class HeaderRule {
  kPrecedenceAutoReply,
  kPostmasterFrom,
  kFeedbackReportType,
  kXLoopScomp,
};

// The pattern object: one process-wide instance (mailvane()), built before
// main. Members 1 to 16 are compiled from kGlobalPatternTexts in order.
// It keeps the vocabulary and which search serves which rule; the searches
// themselves are in src/search (see search/search.h for the fast paths and
// the reference each answers as).
class Mailvane {
 public:
  // With `isPrefiltered` false, every line test tries every pattern: the
  // phrase rows one by one in table order, with nothing in front of them.
  // That object is the reference the prefiltered one is checked against.
  // Used by tests; the process-wide object is prefiltered.
  explicit Mailvane(bool isPrefiltered = true);
  ~Mailvane();
  Mailvane(const Mailvane&) = delete;
  Mailvane& operator=(const Mailvane&) = delete;

  const boost::regex bounceSubject;         // 1: "Subject" of a bounce
  const boost::regex precedenceAutoReply;   // 2: "Precedence"
  const boost::regex postmasterFrom;        // 3: "From"
  const boost::regex feedbackReportType;    // 4: "report-type" parameter
  const boost::regex xLoopScomp;            // 5: "X-loop"
  const boost::regex autoReplySubject;      // 6: the auto-reply subject stop
  const boost::regex emailAddress;          // 7: an address in a body line
  const boost::regex diagnosticDotted;      // 8: dotted code in a diagnostic
  const boost::regex diagnosticThreeDigit;  // 9: reply code in a diagnostic
  const boost::regex statusDotted;          // 10: splitStatusCode, dotted form
  const boost::regex statusThreeDigit;      // 11: splitStatusCode, bare digits
  const boost::regex actionFailed;          // 12: "Action" of a report group
  const boost::regex withheldRecipient;     // 13: "Original-rcpt-to" withheld
  const boost::regex freeTextDotted;        // 14: dotted code in free text
  const boost::regex replyCodeAfterColon;   // 15: reply code after ": "
  const boost::regex replyCodeAtStart;      // 16: reply code opening a refusal

  // Reverse base64 table (RFC 4648 alphabet): the k-th alphabet character
  // maps to k, every other byte to 0.
  int base64Reverse[256];

  // AutoReplySubjectPatterns and StatusPhraseTable compiled once, row for
  // row, case-insensitively; the same results as compiling at each use.
  std::vector<boost::regex> autoReplySubjectRows;
  std::vector<boost::regex> statusPhraseRows;

  // The status of the first phrase-table row (in table order) that matches
  // anywhere in `line`: group 1 for a row with a capture group, else the
  // row's status. "" when no row matches.
  std::string matchStatusPhrase(std::string_view line) const;

  // Whether pattern 1 (bounceSubject) or 6 (autoReplySubject) matches
  // somewhere in `text`: the answer of a search, in time linear in the text
  // however many "out" and "away" it holds.
  bool matchesBounceSubject(std::string_view text) const;
  bool matchesAutoReplySubject(std::string_view text) const;
  // matchesBounceSubject, given subjectCandidates(text): a subject that
  // holds one of the plain words pattern 1 opens with matches without a
  // search.
  bool matchesBounceSubject(std::string_view text,
                            const PatternCandidates& candidates) const;

  // Indexes in a subjectCandidates() set: the auto-reply subject rows keep
  // their row numbers, patterns 1 and 6 follow.
  static constexpr std::size_t kBounceSubjectCandidate =
      kAutoReplySubjectPatternCount;
  static constexpr std::size_t kAutoReplySubjectCandidate =
      kAutoReplySubjectPatternCount + 1;
  // Set when the subject holds one of the plain words (see
  // bounceSubjectWords_).
  static constexpr std::size_t kBounceSubjectWordCandidate =
      kAutoReplySubjectPatternCount + 2;
  // Which of the subject patterns may match `subject`: every one that
  // matches is in the set. All of them when not prefiltered.
  PatternCandidates subjectCandidates(std::string_view subject) const;
  // Patterns 10 and 11 as splitStatusCode reads them: the first dotted code
  // in `text` (group 1 of pattern 10) or else the first three code digits
  // (groups 1 to 3 of pattern 11) as `code`, with `isDotted` telling which,
  // and the text after the code as `rest`. False when neither matches.
  bool findStatusCode(std::string_view text, std::string_view& code,
                      std::string_view& rest, bool& isDotted) const;
  // Group 1 of pattern 8 in `text` or else of pattern 9, as
  // statusFromDiagnostic reads them; false when neither matches.
  bool findDiagnosticCode(std::string_view text, std::string_view& code) const;
  // Whether the pattern of `rule` matches somewhere in `text`: the
  // library's answer, asked only when the text holds what every match of
  // the pattern must contain.
  bool matchesHeaderRule(HeaderRule rule, std::string_view text) const;
  // A search for pattern 16 (replyCodeAtStart) in `line`: `match` and the
  // result as the library's search gives them, without its backtracking over
  // every line start of a long line.
  bool searchReplyCodeAtStart(std::string_view line, ViewMatch& match) const;

  // Appends the leftmost address of `line` to `out`; false when none.
  bool findAddressInLine(std::string_view line,
                         std::vector<std::string>& out) const;
  // The leftmost match of pattern 7 (emailAddress) in `line` as `address`;
  // false when there is none.
  bool findAddress(std::string_view line, std::string_view& address) const;
  // The leftmost match of pattern 7 in `line` at or after offset `from`, as
  // the library's search from there finds it with the byte before in view;
  // so from the end of one match it gives the next. False when none.
  bool findAddressFrom(std::string_view line, std::size_t from,
                       std::string_view& address) const;
  // Appends the first address of the first line that holds one; at most one.
  bool findFirstAddress(const TextLines& lines,
                        std::vector<std::string>& out) const;

  // A fast path and whether it serves its rule in this object.
  struct FastPath {
    std::string_view name;
    bool isEngaged;
  };
  // Every fast path, in a fixed order, engaged or not: each steps aside
  // (and the library searches its pattern) when the pattern's text is not
  // the one it reads. None is engaged when not prefiltered. Used by tests.
  std::vector<FastPath> fastPaths() const;

 private:
  friend class LineTest;

  // Indexes, in a PatternCandidates of lineCandidates(), of the patterns
  // tried on free-text lines besides the phrase rows (which keep their row
  // numbers).
  static constexpr std::size_t kAddressCandidate = kStatusPhraseRowCount;
  static constexpr std::size_t kDottedCandidate = kStatusPhraseRowCount + 1;
  static constexpr std::size_t kReplyAfterColonCandidate =
      kStatusPhraseRowCount + 2;
  static constexpr std::size_t kReplyAtStartCandidate =
      kStatusPhraseRowCount + 3;
  static constexpr std::size_t kLinePatternCount = kStatusPhraseRowCount + 4;
  static_assert(kLinePatternCount <= PatternCandidates::kCapacity);

  // The prefilter's start-up: the line and address filters, the gapped
  // rows and the linear forms of patterns 1, 6 and 16.
  void buildPrefilters();
  // The hand scans for patterns 7 to 11, kept only when they engage.
  void buildHandScans();

  // Which of the phrase rows and of the four free-text line patterns
  // (address, dotted code, the two reply codes: the k...Candidate indexes)
  // may match `line`. Every pattern that matches is in the set; a pattern
  // outside it cannot match. All of them when not prefiltered.
  PatternCandidates lineCandidates(std::string_view line) const;
  // matchStatusPhrase, given lineCandidates(line): rows outside
  // `candidates` are known not to match and are skipped.
  std::string matchStatusPhrase(std::string_view line,
                                const PatternCandidates& candidates) const;
  // False only when the address pattern cannot match `line`.
  bool mayHoldAddress(std::string_view line) const;

  bool isPrefiltered_;
  // Over the phrase rows and the four line patterns, and over the address
  // pattern alone.
  PhrasePrefilter lineFilter_;
  PhrasePrefilter addressFilter_;
  // Over the auto-reply subject rows and patterns 1 and 6.
  PhrasePrefilter subjectFilter_;
  // Over patterns 2 to 5, in HeaderRule order.
  PhrasePrefilter headerFilter_;
  // Patterns 1 and 6 without their absence tail, when they end in it; that
  // tail is then answered by hasAbsenceBeforeOffice. Empty otherwise.
  boost::regex bounceSubjectHead_;
  boost::regex autoReplySubjectHead_;
  // The group of plain words that pattern 1 opens with ("(mail delivery
  // failed|failure notice|...)"), when it has that form: one of them in a
  // subject is a match of the whole pattern. Whether the subject filter
  // finds exactly the subjects that hold one: then its candidate answers.
  std::string bounceSubjectWords_;
  bool isBounceSubjectWordExact_ = false;
  // Pattern 16 as a linear search, when its text has the form that search
  // reads; otherwise the library searches it.
  bool isReplyCodeLinear_ = false;
  ReplyCodeRefusal replyCodeRefusal_;
  // Patterns 8 to 11, and pattern 7, found by hand scans when their texts
  // are the ones the scans read; otherwise (empty) the library searches them.
  std::optional<StatusCodeScan> statusCodeScan_;
  std::optional<AddressScan> addressScan_;
  // Phrase rows of the form "A.*?B", tested without the library (whose
  // search would try the gap from every A); empty for the other rows.
  std::vector<std::unique_ptr<GappedPhrase>> gappedRows_;
};

// The rules tried on a free-text line besides the phrase rows: patterns 7
// (emailAddress), 14 (freeTextDotted), 15 (replyCodeAfterColon) and 16
// (replyCodeAtStart).
enum class LineRule { kAddress, kDottedCode, kReplyAfterColon, kReplyAtStart };

// The questions the free-text scan asks of one line. One pass over the line
// first rules out the patterns that cannot match it; the others are tried as
// the library would, so every answer is the library's own. Holds `line`,
// which must outlive the object.
class LineTest {
 public:
  LineTest(const Mailvane& patterns, std::string_view line);

  // Whether `rule` matches somewhere in the line; on a match `match` holds
  // the library's match and groups.
  bool matches(LineRule rule, ViewMatch& match) const;
  bool matches(LineRule rule) const;
  // Mailvane::matchStatusPhrase of the line.
  std::string statusPhrase() const;
  // False only when phrase row `row` is known not to match. Used by tests.
  bool mayMatchRow(std::size_t row) const { return candidates_.has(row); }

 private:
  const Mailvane& patterns_;
  std::string_view line_;
  PatternCandidates candidates_;
};

// The process-wide pattern object.
const Mailvane& mailvane();

#endif  // MAILVANE_ANALYSIS_PATTERNS_H_
