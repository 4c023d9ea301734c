// Status-code and address text operations shared by the result branches.

#include "analysis/status_codes.h"

#include <boost/regex.hpp>

#include "analysis/patterns.h"
#include "message/ascii_text.h"
#include "search/long_text_search.h"

namespace {

// The texts of patterns 8 to 11 that the scans below read.
constexpr std::string_view kDiagnosticDotted = R"(/(\d\.\d\.\d{1,3})\s/)";
constexpr std::string_view kDiagnosticThreeDigit = R"(/(\d\d\d)\s/)";
constexpr std::string_view kStatusDotted = R"(/([245]\.[0-7]\.\d{1,3})(.*)/)";
constexpr std::string_view kStatusThreeDigit =
    R"(/([245])([01234567])([012345678])(.*)/)";

bool isIn(const ByteSet& bytes, char c) {
  return bytes.test(static_cast<unsigned char>(c));
}

bool isBetween(char c, char low, char high) { return c >= low && c <= high; }

}  // namespace

void Mailvane::buildStatusScans() {
  isStatusScanned_ = kGlobalPatternTexts[7] == kDiagnosticDotted &&
                     kGlobalPatternTexts[8] == kDiagnosticThreeDigit &&
                     kGlobalPatternTexts[9] == kStatusDotted &&
                     kGlobalPatternTexts[10] == kStatusThreeDigit;
  digitBytes_ = bytesMatchedBy(R"(\d)", boost::regex::perl);
  spaceBytes_ = bytesMatchedBy(R"(\s)", boost::regex::perl);
}

// "." matches every byte, so a group "(.*)" that ends a pattern takes the
// rest of the text; "\d{1,3}" takes as many digits as there are, up to
// three, unless what follows has to be white space (a digit is none).
bool Mailvane::findStatusCode(std::string_view text, std::string_view& code,
                              std::string_view& rest, bool& isDotted) const {
  if (!isStatusScanned_) {
    thread_local ViewMatch match;
    isDotted =
        boost::regex_search(text.begin(), text.end(), match, statusDotted);
    if (!isDotted && !boost::regex_search(text.begin(), text.end(), match,
                                          statusThreeDigit)) {
      return false;
    }
    // Pattern 11's groups 1 to 3 are one digit each, side by side.
    code = std::string_view(match[1].first, isDotted ? match[1].length() : 3);
    const auto& last = match[isDotted ? 2 : 4];
    rest =
        std::string_view(last.first, static_cast<std::size_t>(last.length()));
    return true;
  }
  const std::size_t n = text.size();
  for (std::size_t i = 0; i + 5 <= n; ++i) {
    if ((text[i] == '2' || text[i] == '4' || text[i] == '5') &&
        text[i + 1] == '.' && isBetween(text[i + 2], '0', '7') &&
        text[i + 3] == '.' && isIn(digitBytes_, text[i + 4])) {
      std::size_t end = i + 5;
      while (end < n && end < i + 7 && isIn(digitBytes_, text[end])) ++end;
      code = text.substr(i, end - i);
      rest = text.substr(end);
      isDotted = true;
      return true;
    }
  }
  for (std::size_t i = 0; i + 3 <= n; ++i) {
    if ((text[i] == '2' || text[i] == '4' || text[i] == '5') &&
        isBetween(text[i + 1], '0', '7') && isBetween(text[i + 2], '0', '8')) {
      code = text.substr(i, 3);
      rest = text.substr(i + 3);
      isDotted = false;
      return true;
    }
  }
  return false;
}

bool Mailvane::findDiagnosticCode(std::string_view text,
                                  std::string_view& code) const {
  if (!isStatusScanned_) {
    thread_local ViewMatch match;
    if (!boost::regex_search(text.begin(), text.end(), match,
                             diagnosticDotted) &&
        !boost::regex_search(text.begin(), text.end(), match,
                             diagnosticThreeDigit)) {
      return false;
    }
    code = std::string_view(match[1].first,
                            static_cast<std::size_t>(match[1].length()));
    return true;
  }
  const std::size_t n = text.size();
  auto isDigitAt = [&](std::size_t at) {
    return at < n && isIn(digitBytes_, text[at]);
  };
  auto isSpaceAt = [&](std::size_t at) {
    return at < n && isIn(spaceBytes_, text[at]);
  };
  for (std::size_t i = 0; i + 6 <= n; ++i) {
    if (isDigitAt(i) && text[i + 1] == '.' && isDigitAt(i + 2) &&
        text[i + 3] == '.' && isDigitAt(i + 4)) {
      std::size_t end = i + 5;
      while (isDigitAt(end)) ++end;
      if (end - (i + 4) <= 3 && isSpaceAt(end)) {
        code = text.substr(i, end - i);
        return true;
      }
    }
  }
  for (std::size_t i = 0; i + 4 <= n; ++i) {
    if (isDigitAt(i) && isDigitAt(i + 1) && isDigitAt(i + 2) &&
        isSpaceAt(i + 3)) {
      code = text.substr(i, 3);
      return true;
    }
  }
  return false;
}

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

bool containsIgnoreCase(std::string_view text, std::string_view needle) {
  return findIgnoreCase(text, needle) != std::string_view::npos;
}
