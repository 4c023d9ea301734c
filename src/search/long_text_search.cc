// Linear-time forms of two backtracking searches (see the header).

#include "search/long_text_search.h"

#include <algorithm>

#include "message/ascii_text.h"

namespace {

bool isLineSeparator(char c) { return c == '\n' || c == '\r' || c == '\f'; }

// Whether "^" holds at `at`: the start of the text, or just after a line
// separator, except between a carriage return and the line feed after it.
bool isLineStart(std::string_view text, std::size_t at) {
  if (at == 0) return true;
  char before = text[at - 1];
  if (!isLineSeparator(before)) return false;
  return !(before == '\r' && at < text.size() && text[at] == '\n');
}

// What the reply-code pattern holds around its refusal words.
constexpr std::string_view kReplyCodeHead = "^([45][01257][012345]) (?:.*?)(?:";
constexpr std::string_view kReplyCodeTail = ")+";

// Reads alternatives of literal text from `text` at `at`, up to a ")" or the
// end, and appends every spelling of them to `out`: a "(?:...)" group inside
// an alternative multiplies it by its own spellings. False on any other
// special byte, an unclosed group or an empty spelling.
bool spellAlternatives(std::string_view text, std::size_t& at,
                       std::vector<std::string>& out) {
  constexpr std::string_view kSpecial = "\\^$.|?*+()[]{}";
  std::vector<std::string> branch(1);
  while (at < text.size() && text[at] != ')') {
    if (text[at] == '|') {
      out.insert(out.end(), branch.begin(), branch.end());
      branch.assign(1, std::string());
      ++at;
    } else if (text.substr(at, 3) == "(?:") {
      at += 3;
      std::vector<std::string> inner;
      if (!spellAlternatives(text, at, inner) || at >= text.size()) {
        return false;
      }
      ++at;  // the ")"
      std::vector<std::string> joined;
      for (const std::string& head : branch) {
        for (const std::string& rest : inner) joined.push_back(head + rest);
      }
      branch = std::move(joined);
    } else if (kSpecial.find(text[at]) != std::string_view::npos) {
      return false;
    } else {
      for (std::string& spelling : branch) spelling += text[at];
      ++at;
    }
  }
  out.insert(out.end(), branch.begin(), branch.end());
  return std::none_of(out.begin(), out.end(),
                      [](const std::string& word) { return word.empty(); });
}

bool isSameLetter(char a, char b) { return foldCase(a) == foldCase(b); }

// Matches a byte of the text against a byte of a piece in which "." stands
// for any byte.
bool isSameOrWildcard(char byte, char wanted) {
  return wanted == '.' || isSameLetter(byte, wanted);
}

// Where the first occurrence of `piece` at or after `from` begins, bytes
// compared with `same`; npos when there is none.
template <typename Same>
std::size_t findFrom(std::string_view text, std::string_view piece,
                     std::size_t from, Same same) {
  if (piece.empty() || from > text.size()) return std::string_view::npos;
  auto found = std::search(text.begin() + static_cast<std::ptrdiff_t>(from),
                           text.end(), piece.begin(), piece.end(), same);
  return found == text.end() ? std::string_view::npos
                             : static_cast<std::size_t>(found - text.begin());
}

// Reads a run of literal bytes and "." from `pattern` at `at` into `piece`,
// an escaped punctuation byte standing for itself. Stops at the first byte
// that is neither; false when that is an escape of another kind.
bool readLiteralRun(std::string_view pattern, std::size_t& at,
                    std::string& piece) {
  constexpr std::string_view kSpecial = "\\^$|?*+()[]{}";
  while (at < pattern.size()) {
    char c = pattern[at];
    if (c == '\\') {
      if (at + 1 >= pattern.size()) return false;
      char escaped = pattern[at + 1];
      bool isPunctuation = (escaped >= '!' && escaped <= '/') ||
                           (escaped >= ':' && escaped <= '@') ||
                           (escaped >= '[' && escaped <= '`') ||
                           (escaped >= '{' && escaped <= '~');
      // An escaped "." is a literal dot, which the piece cannot tell from
      // the wildcard.
      if (!isPunctuation || escaped == '.') return false;
      piece += escaped;
      at += 2;
    } else if (kSpecial.find(c) != std::string_view::npos) {
      return true;
    } else {
      piece += c;
      ++at;
    }
  }
  return true;
}

}  // namespace

bool GappedPhrase::parse(std::string_view pattern, GappedPhrase& phrase) {
  std::size_t at = 0;
  std::string head;
  std::string tail;
  if (!readLiteralRun(pattern, at, head) || head.empty()) return false;
  // The gap: ".*" or ".*?", read by the run above as a "." ending the head.
  if (head.back() != '.' || pattern.substr(at, 1) != "*") return false;
  head.pop_back();
  ++at;
  if (pattern.substr(at, 1) == "?") ++at;
  if (head.empty() || !readLiteralRun(pattern, at, tail) || tail.empty() ||
      at != pattern.size()) {
    return false;
  }
  phrase.head_ = std::move(head);
  phrase.tail_ = std::move(tail);
  return true;
}

bool GappedPhrase::matches(std::string_view text) const {
  std::size_t at = findFrom(text, head_, 0, isSameOrWildcard);
  return at != std::string_view::npos &&
         findFrom(text, tail_, at + head_.size(), isSameOrWildcard) !=
             std::string_view::npos;
}

// "." crosses every byte, so only the order counts: the earliest end of an
// absence word, then any "office" from there on.
bool hasAbsenceBeforeOffice(std::string_view text) {
  std::size_t earliestEnd = std::string_view::npos;
  for (std::string_view word : {"out", "away", "on holiday"}) {
    std::size_t at = findIgnoreCase(text, word);
    if (at != std::string_view::npos) {
      earliestEnd = std::min(earliestEnd, at + word.size());
    }
  }
  return earliestEnd != std::string_view::npos &&
         findIgnoreCase(text, "office", earliestEnd) != std::string_view::npos;
}

bool ReplyCodeRefusal::parse(std::string_view pattern,
                             ReplyCodeRefusal& search) {
  if (!pattern.starts_with(kReplyCodeHead) ||
      !pattern.ends_with(kReplyCodeTail) ||
      pattern.size() <= kReplyCodeHead.size() + kReplyCodeTail.size()) {
    return false;
  }
  std::string_view words = pattern.substr(
      kReplyCodeHead.size(),
      pattern.size() - kReplyCodeHead.size() - kReplyCodeTail.size());
  std::size_t at = 0;
  std::vector<std::string> spelled;
  if (!spellAlternatives(words, at, spelled) || at != words.size()) {
    return false;
  }
  search.words_ = std::move(spelled);
  return true;
}

// The lazy ".*?" crosses every byte, so a code at a line start matches when
// any refusal word begins after its blank: after the start of the last
// refusal word at the latest. The leftmost such line start is the match.
std::size_t ReplyCodeRefusal::find(std::string_view line) const {
  std::size_t lastWord = std::string_view::npos;
  for (std::string_view word : words_) {
    auto found = std::find_end(line.begin(), line.end(), word.begin(),
                               word.end(), isSameLetter);
    if (found == line.end()) continue;
    auto at = static_cast<std::size_t>(found - line.begin());
    if (lastWord == std::string_view::npos || at > lastWord) lastWord = at;
  }
  if (lastWord == std::string_view::npos || lastWord < 4) {
    return std::string_view::npos;
  }
  for (std::size_t p = 0; p + 4 <= lastWord; ++p) {
    if (line[p] >= '4' && line[p] <= '5' && isLineStart(line, p) &&
        std::string_view("01257").find(line[p + 1]) != std::string_view::npos &&
        line[p + 2] >= '0' && line[p + 2] <= '5' && line[p + 3] == ' ') {
      return p;
    }
  }
  return std::string_view::npos;
}

FoldedText::FoldedText(std::string_view text) : text_(text) {
  skip_.fill(text.size());
  // Each byte but the last moves the text so far that its last place in the
  // text comes under the window's end, in either letter case.
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    const char lower = foldCase(text[i]);
    const char upper = upperCase(lower);
    skip_[static_cast<unsigned char>(lower)] = text.size() - 1 - i;
    skip_[static_cast<unsigned char>(upper)] = text.size() - 1 - i;
  }
}

bool FoldedText::isIn(std::string_view line) const {
  const std::size_t n = text_.size();
  if (n == 0) return false;
  for (std::size_t at = 0; at + n <= line.size();
       at += skip_[static_cast<unsigned char>(line[at + n - 1])]) {
    if (equalsIgnoreCase(line.substr(at, n), text_)) return true;
  }
  return false;
}
