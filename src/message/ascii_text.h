// Small text operations shared by the reader, the searches and the analyser:
// trimming, the blank test, ASCII byte classes and letter case, searching
// with letter case ignored, unfolding continuation lines of stored
// name-and-value fields, and the dotted form of a three-digit reply code.
//
// Text is 8-bit bytes; only A-Z and a-z are ever folded, whatever the
// locale. None of these fails.

#ifndef MAILVANE_MESSAGE_ASCII_TEXT_H_
#define MAILVANE_MESSAGE_ASCII_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Space or tab: the bytes that fold a header or field line.
inline bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The bytes trim() removes: space, tab, line feed, vertical tab, form feed
// and carriage return. No other byte counts as white space.
inline bool isTrimmedSpace(char c) {
  return isBlank(c) || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// 0-9; no other digit, whatever the locale.
inline bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// A-Z or a-z.
inline bool isAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// An ASCII letter or digit.
inline bool isAsciiAlnum(char c) { return isAsciiDigit(c) || isAsciiLetter(c); }

// A-Z to a-z; every other byte unchanged.
inline char foldCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// `text` without trimmed space at both ends; views into `text`.
std::string_view trimView(std::string_view text);
// The same, as a string of its own.
std::string trim(std::string_view text);

// Same length and equal bytes after folding A-Z to a-z.
inline bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (foldCase(a[i]) != foldCase(b[i])) return false;
  }
  return true;
}

// Whether `text` begins with `prefix`, A-Z folded to a-z.
inline bool startsWithIgnoreCase(std::string_view text,
                                 std::string_view prefix) {
  return text.size() >= prefix.size() &&
         equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

// a-z to A-Z; every other byte unchanged.
inline char upperCase(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Where the first occurrence of `needle` at or after `from` begins in `text`,
// A-Z folded to a-z; npos when there is none or `needle` is empty.
std::size_t findIgnoreCase(std::string_view text, std::string_view needle,
                           std::size_t from = 0);

// Whether `needle` occurs in `text` with A-Z folded to a-z. An empty needle
// is never found.
inline bool containsIgnoreCase(std::string_view text, std::string_view needle) {
  return findIgnoreCase(text, needle) != std::string_view::npos;
}

// Stored lines of a message: views of its loaded text (or of joined copies
// the parsed message keeps), without their line endings.
using TextLines = std::vector<std::string_view>;

// Reads the logical line that starts at lines[at] (non-empty) into `logical`
// and returns the index after it. Each following line that starts with a
// blank continues it: its leading blanks are dropped and the rest joined
// with one space; a continuation of blanks only adds nothing. An empty line
// is never a continuation.
std::size_t unfoldLine(const TextLines& lines, std::size_t at,
                       std::string& logical);

// "550" -> "5.5.0": three digits (or any three bytes) with points between.
std::string dottedCode(std::string_view threeDigits);

#endif  // MAILVANE_MESSAGE_ASCII_TEXT_H_
