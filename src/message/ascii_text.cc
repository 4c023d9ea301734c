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
