// A hand scan for the four status-code patterns: the dotted code and the
// three digits of a diagnostic text, each followed by white space, and the
// dotted code or bare reply code a status field opens with (RFC 3463: class
// "." subject "." detail, with a detail of one to three digits).
//
// The scan reads the four pattern texts below and nothing else: it engages
// only when the texts it is given are exactly those, so a changed table row
// makes it step aside (the library then searches the row) rather than give
// another answer. Its digit and space bytes are the library's own. Built
// once; afterwards read-only.

#ifndef MAILVANE_SEARCH_STATUS_CODE_SCAN_H_
#define MAILVANE_SEARCH_STATUS_CODE_SCAN_H_

#include <string_view>

#include "search/required_pieces.h"

class StatusCodeScan {
 public:
  // The pattern texts the scan reads, in /pattern/flags form.
  static constexpr std::string_view kDiagnosticDotted =
      R"(/(\d\.\d\.\d{1,3})\s/)";
  static constexpr std::string_view kDiagnosticThreeDigit = R"(/(\d\d\d)\s/)";
  static constexpr std::string_view kStatusDotted =
      R"(/([245]\.[0-7]\.\d{1,3})(.*)/)";
  static constexpr std::string_view kStatusThreeDigit =
      R"(/([245])([01234567])([012345678])(.*)/)";

  // A scan for the four patterns of these texts, in the order above;
  // engaged only when each is the text the scan reads.
  StatusCodeScan(std::string_view diagnosticDotted,
                 std::string_view diagnosticThreeDigit,
                 std::string_view statusDotted,
                 std::string_view statusThreeDigit);

  bool isEngaged() const { return isEngaged_; }

  // The first match of the status dotted pattern in `text` (its group 1),
  // else of the three-digit one (groups 1 to 3 side by side), as `code`,
  // with `isDotted` telling which, and the text after the code as `rest`:
  // what the library's searches give. False when neither matches.
  // REQUIRES: isEngaged()
  bool findStatusCode(std::string_view text, std::string_view& code,
                      std::string_view& rest, bool& isDotted) const;
  // Group 1 of the first match of the diagnostic dotted pattern in `text`,
  // else of the three-digit one; false when neither matches.
  // REQUIRES: isEngaged()
  bool findDiagnosticCode(std::string_view text, std::string_view& code) const;

 private:
  bool isEngaged_ = false;
  ByteSet digitBytes_;
  ByteSet spaceBytes_;
};

#endif  // MAILVANE_SEARCH_STATUS_CODE_SCAN_H_
