// Status-code and address text operations shared by the result branches.

#include "analysis/status_codes.h"

#include <boost/regex.hpp>

#include "analysis/long_text_search.h"
#include "analysis/patterns.h"
#include "message/ascii_text.h"

bool splitStatusCode(const Mailvane& patterns, std::string_view text,
                     std::vector<std::string>& out) {
  out.clear();
  thread_local ViewMatch match;
  // The dotted form class.subject.detail wins wherever it stands; a detail
  // of up to three digits is taken whole.
  if (boost::regex_search(text.begin(), text.end(), match,
                          patterns.statusDotted)) {
    out.push_back(match.str(1));
    out.push_back(match.str(2));
    return true;
  }
  // Otherwise three adjacent digits, read as an SMTP reply code ("550").
  if (boost::regex_search(text.begin(), text.end(), match,
                          patterns.statusThreeDigit)) {
    // Groups 1 to 3 are one digit each, side by side.
    out.push_back(dottedCode(std::string_view(match[1].first, 3)));
    out.push_back(match.str(4));
    return true;
  }
  return false;
}

std::string actionFromStatus(const Mailvane& patterns,
                             std::string_view status) {
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
  thread_local ViewMatch match;
  // A code must be followed by white space, so one that ends the text is
  // passed over in favour of a reply code before it.
  if (boost::regex_search(text.begin(), text.end(), match,
                          patterns.diagnosticDotted)) {
    return match.str(1);
  }
  if (boost::regex_search(text.begin(), text.end(), match,
                          patterns.diagnosticThreeDigit)) {
    return match.str(1);
  }
  return std::string();
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

bool containsIgnoreCase(std::string_view text, std::string_view needle) {
  return findIgnoreCase(text, needle) != std::string_view::npos;
}
