// Status-code, address and free-text status operations shared by the result
// branches.
// Enhanced status codes follow RFC 3463: class "." subject "." detail, with a
// detail of one to three digits. None of these fails: an unrecognised text
// gives false or "".

#ifndef MAILVANE_ANALYSIS_STATUS_CODES_H_
#define MAILVANE_ANALYSIS_STATUS_CODES_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "message/ascii_text.h"

class Mailvane;

// The rules a free-text status scan follows. kWritten: the line tests as
// written. kThorough adds two: a dotted code of class 2 (a "2.0.0 Ok", a
// version number) decides nothing, and a line decided by a phrase row that
// also holds a dotted code of class 4 or 5 gives that code.
enum class ScanRules { kWritten, kThorough };

// The status decided for `recipient` by `lines` from index `start` on, as
// the free-text bounces read it (see free_text.cc): a dotted code, or ""
// when none is found or the scan is stopped.
std::string scanForStatus(const Mailvane& patterns, const TextLines& lines,
                          std::string_view recipient, std::size_t start,
                          ScanRules rules = ScanRules::kWritten);

// Empties `out`; on success `out` holds the dotted code (class 2, 4 or 5,
// subject 0-7) and the rest of the text after it. Tries the dotted form
// first, then three adjacent digits anywhere ("550" gives "5.5.0"): patterns
// 10 and 11 of `patterns`.
bool splitStatusCode(const Mailvane& patterns, std::string_view text,
                     std::vector<std::string>& out);

// "success", "transient" or "failed" from the class digit of the code
// splitStatusCode finds in `status`; "" otherwise.
std::string actionFromStatus(const Mailvane& patterns, std::string_view status);

// The first dotted code followed by white space in a diagnostic text, else
// the first three digits followed by white space, else "": patterns 8 and 9
// of `patterns`.
std::string statusFromDiagnostic(const Mailvane& patterns,
                                 std::string_view text);

// The text strictly between the first "<" and the next ">" after it, or the
// whole text when there is no such pair; a view into `text`.
std::string_view stripAngleBrackets(std::string_view text);

#endif  // MAILVANE_ANALYSIS_STATUS_CODES_H_
