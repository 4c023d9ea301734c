// Linear-time answers for the two searches whose backtracking grows with the
// square of the text: "(out|away|on holiday).*office" at the end of the
// subject patterns, and the reply code opening a refusal in free text. A
// subject or body line of a few hundred kilobytes full of "out" or of line
// starts would otherwise hold the run for minutes.
//
// Each function gives what the regex library's search gives for that
// pattern, with its default match options: letter case ignored for ASCII
// letters only, "." matching every byte (line separators and zero bytes
// included), and "^" matching at the start and after a line feed, carriage
// return or form feed, but not between a carriage return and a line feed.
//
// FoldedText, beside them, gives findIgnoreCase's answer (message/ascii_text.h)
// in fewer steps.

#ifndef MAILVANE_SEARCH_LONG_TEXT_SEARCH_H_
#define MAILVANE_SEARCH_LONG_TEXT_SEARCH_H_

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The pattern tail the subject patterns end in, alternative and all.
inline constexpr std::string_view kAbsenceTail =
    "|(out|away|on holiday).*office";

// Whether "(out|away|on holiday).*office" matches somewhere in `text`, letter
// case ignored: some "out", "away" or "on holiday" ends at or before the
// start of some later "office".
bool hasAbsenceBeforeOffice(std::string_view text);

// The search for a reply code opening a refusal:
// "^([45][01257][012345]) (?:.*?)(?:WORDS)+" with letter case ignored, where
// WORDS are alternatives of literal text, each of which may hold groups
// "(?:...)" of such alternatives.
class ReplyCodeRefusal {
 public:
  // The search `pattern` (a pattern body) stands for, its refusal words
  // spelled out from the pattern's own text; false when the pattern has
  // another form (then `search` is left as it was).
  static bool parse(std::string_view pattern, ReplyCodeRefusal& search);

  // Where the leftmost match in `line` begins: the first line start holding
  // such a code and a blank with one of the refusal words somewhere after
  // them. npos when there is none.
  std::size_t find(std::string_view line) const;

  // Every refusal word, in the pattern's order. Used by tests.
  const std::vector<std::string>& words() const { return words_; }

 private:
  std::vector<std::string> words_;
};

// A pattern of the form "A.*?B" or "A.*B" where A and B are runs of literal
// bytes and "." only, searched with letter case ignored: it matches exactly
// when some A ends at or before the start of some later B, which one pass
// for the first A and one for a B after it decide.
class GappedPhrase {
 public:
  // The phrase `pattern` stands for; false when it has another form (then
  // `phrase` is left as it was).
  static bool parse(std::string_view pattern, GappedPhrase& phrase);

  bool matches(std::string_view text) const;

 private:
  std::string head_;  // "." stands for any byte
  std::string tail_;
};

// A search for one literal text with letter case ignored, as findIgnoreCase
// searches, that skips ahead by up to the text's length at each try
// (Horspool: the byte under the window's last place says how far the text
// can move). For long texts looked for in every line of a message. Holds
// `text`, which must outlive the object.
class FoldedText {
 public:
  explicit FoldedText(std::string_view text);
  // Whether the text occurs in `line`; never for an empty text.
  bool isIn(std::string_view line) const;

 private:
  std::string_view text_;
  std::array<std::size_t, 256> skip_;
};

#endif  // MAILVANE_SEARCH_LONG_TEXT_SEARCH_H_
