// Status-code and address text operations shared by the result branches.

#include "analysis/status_codes.h"

#include <boost/regex.hpp>

#include "analysis/patterns.h"
#include "message/ascii_text.h"

bool splitStatusCode(const Mailvane& patterns, std::string_view text,
                     std::vector<std::string>& out) {
  out.clear();
  // The dotted form class.subject.detail wins wherever it stands; otherwise
  // three adjacent digits are read as an SMTP reply code ("550").
  std::string_view code;
  std::string_view rest;
  bool isDotted = false;
  if (!patterns.findStatusCode(text, code, rest, isDotted)) return false;
  out.push_back(isDotted ? std::string(code) : dottedCode(code));
  out.emplace_back(rest);
  return true;
}

std::string actionFromStatus(const Mailvane& patterns,
                             std::string_view status) {
  // Kept across calls: the parts' strings keep their storage for the next
  // status, as this runs for every recipient.
  thread_local std::vector<std::string> parts;
  if (!splitStatusCode(patterns, status, parts) || parts[0].empty())
    return std::string();
  // RFC 3463 class digit: 2 success, 4 persistent transient, 5 permanent.
  switch (parts[0][0]) {
    case '2':
      return "success";
    case '4':
      return "transient";
    case '5':
      return "failed";
    default:
      return std::string();
  }
}

std::string statusFromDiagnostic(const Mailvane& patterns,
                                 std::string_view text) {
  // A code must be followed by white space, so one that ends the text is
  // passed over in favour of a reply code before it.
  std::string_view code;
  return patterns.findDiagnosticCode(text, code) ? std::string(code)
                                                 : std::string();
}

std::string_view stripAngleBrackets(std::string_view text) {
  std::size_t open = text.find('<');
  if (open != std::string_view::npos) {
    std::size_t close = text.find('>', open + 1);
    if (close != std::string_view::npos) {
      return text.substr(open + 1, close - open - 1);
    }
  }
  return text;
}
