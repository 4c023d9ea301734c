// Small text operations shared by the reader and the analyser.

#include "message/ascii_text.h"

std::string_view trimView(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isTrimmedSpace(text[begin])) ++begin;
  while (end > begin && isTrimmedSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string trim(std::string_view text) { return std::string(trimView(text)); }

// Runs on every body line the status scan reads (the recipient and the copy
// marker), so the first byte is looked for in its two letter cases and only
// where it stands is the rest compared.
std::size_t findIgnoreCase(std::string_view text, std::string_view needle,
                           std::size_t from) {
  if (needle.empty() || from > text.size() ||
      needle.size() > text.size() - from) {
    return std::string_view::npos;
  }
  const char lower = foldCase(needle[0]);
  const char upper = upperCase(lower);
  const std::string_view rest = needle.substr(1);
  const std::size_t last = text.size() - needle.size();
  for (std::size_t at = from; at <= last; ++at) {
    const char c = text[at];
    if ((c == lower || c == upper) &&
        equalsIgnoreCase(text.substr(at + 1, rest.size()), rest)) {
      return at;
    }
  }
  return std::string_view::npos;
}

std::size_t unfoldLine(const TextLines& lines, std::size_t at,
                       std::string& logical) {
  logical.assign(lines[at++]);
  while (at < lines.size() && !lines[at].empty() && isBlank(lines[at][0])) {
    const std::string_view next = lines[at++];
    std::size_t from = 1;
    while (from < next.size() && isBlank(next[from])) ++from;
    if (from < next.size()) {
      logical += ' ';
      logical.append(next.substr(from));
    }
  }
  return at;
}

std::string dottedCode(std::string_view threeDigits) {
  std::string code;
  code.reserve(5);
  code += threeDigits[0];
  code += '.';
  code += threeDigits[1];
  code += '.';
  code += threeDigits[2];
  return code;
}
