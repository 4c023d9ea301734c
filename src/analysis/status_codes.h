// Status-code and address text operations shared by the result branches.
// Enhanced status codes follow RFC 3463: class "." subject "." detail, with a
// detail of one to three digits. None of these fails: an unrecognised text
// gives false or "".

#ifndef MAILVANE_ANALYSIS_STATUS_CODES_H_
#define MAILVANE_ANALYSIS_STATUS_CODES_H_

#include <string>
#include <string_view>
#include <vector>

class Mailvane;

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

// Whether `needle` occurs in `text` with A-Z folded to a-z. An empty needle
// is never found.
bool containsIgnoreCase(std::string_view text, std::string_view needle);

#endif  // MAILVANE_ANALYSIS_STATUS_CODES_H_
