// The two banner lines printed at every start: the version text that follows
// the product name, and the attribution line.
//
// The version text is derived from the program's "FileVersion" string
// (platform.h says where that comes from): its last component becomes a
// build number unless it is 0, and trailing zero components are dropped, so
// "1.1.0.15" reads " 1.1 build 15". Never fails: a missing or empty string
// gives an empty text.

#ifndef MAILVANE_DRIVER_VERSION_H_
#define MAILVANE_DRIVER_VERSION_H_

#include <string>
#include <string_view>

// The version text of this program: normalizeVersionText of its
// "FileVersion" string.
std::string buildVersionText();

// Turns a "FileVersion" value such as "1.1.0.15" or "1, 2, 0, 7" into the
// text shown after the product name: "" for an empty value, otherwise one
// blank followed by the shortened version and, when the last component is
// not 0 and has 1 to 9 characters, " build " and that component. Used by
// buildVersionText and by tests.
std::string normalizeVersionText(std::string_view fileVersion);

// The attribution line for the local calendar year `year`, without its line
// end: the years run from 2014, as a range ending in `year` - 2000 once
// `year` is later than 2014. Used by printAttribution and by tests.
std::string attributionText(int year);

// Writes the attribution line for the current local year and a blank line
// straight to standard output.
void printAttribution();

#endif  // MAILVANE_DRIVER_VERSION_H_
