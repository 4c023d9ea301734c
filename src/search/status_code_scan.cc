// The status-code scan (see the header).

#include "search/status_code_scan.h"

#include <boost/regex.hpp>

namespace {

bool isIn(const ByteSet& bytes, char c) {
  return bytes.test(static_cast<unsigned char>(c));
}

bool isBetween(char c, char low, char high) { return c >= low && c <= high; }

}  // namespace

StatusCodeScan::StatusCodeScan(std::string_view diagnosticDotted,
                               std::string_view diagnosticThreeDigit,
                               std::string_view statusDotted,
                               std::string_view statusThreeDigit)
    : isEngaged_(diagnosticDotted == kDiagnosticDotted &&
                 diagnosticThreeDigit == kDiagnosticThreeDigit &&
                 statusDotted == kStatusDotted &&
                 statusThreeDigit == kStatusThreeDigit),
      digitBytes_(bytesMatchedBy(R"(\d)", boost::regex::perl)),
      spaceBytes_(bytesMatchedBy(R"(\s)", boost::regex::perl)) {}

// "." matches every byte, so a group "(.*)" that ends a pattern takes the
// rest of the text; "\d{1,3}" takes as many digits as there are, up to
// three, unless what follows has to be white space (a digit is none).
bool StatusCodeScan::findStatusCode(std::string_view text,
                                    std::string_view& code,
                                    std::string_view& rest,
                                    bool& isDotted) const {
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

bool StatusCodeScan::findDiagnosticCode(std::string_view text,
                                        std::string_view& code) const {
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
