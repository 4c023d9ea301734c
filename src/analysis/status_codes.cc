// Status-code and address text operations shared by the result branches.

#include "analysis/status_codes.h"

#include <boost/regex.hpp>

#include "analysis/long_text_search.h"
#include "analysis/patterns.h"

namespace {

using ViewMatch = boost::match_results<std::string_view::const_iterator>;

}  // namespace

bool splitStatusCode(std::string_view text, std::vector<std::string>& out) {
  out.clear();
  const Mailvane& patterns = mailvane();
  ViewMatch match;
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
    std::string code;
    code.reserve(5);
    code += match.str(1);
    code += '.';
    code += match.str(2);
    code += '.';
    code += match.str(3);
    out.push_back(std::move(code));
    out.push_back(match.str(4));
    return true;
  }
  return false;
}

std::string actionFromStatus(std::string_view status) {
  std::vector<std::string> parts;
  if (!splitStatusCode(status, parts) || parts[0].empty()) return std::string();
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

std::string statusFromDiagnostic(std::string_view text) {
  const Mailvane& patterns = mailvane();
  ViewMatch match;
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

std::string stripAngleBrackets(std::string_view text) {
  std::size_t open = text.find('<');
  if (open != std::string_view::npos) {
    std::size_t close = text.find('>', open + 1);
    if (close != std::string_view::npos) {
      return std::string(text.substr(open + 1, close - open - 1));
    }
  }
  return std::string(text);
}

bool containsIgnoreCase(std::string_view text, std::string_view needle) {
  return findIgnoreCase(text, needle) != std::string_view::npos;
}
