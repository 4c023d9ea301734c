// UTF-16 to UTF-8 conversion for message files that start with a UTF-16
// byte-order mark.
//
// This function is the only place that knows how the conversion is done:
// portable C++ (utf16.cc) everywhere but on Windows, where the system's
// converter does it (utf16_windows.cc) with the same results. Never fails:
// malformed input yields replacement characters.

#ifndef MAILVANE_MESSAGE_UTF16_H_
#define MAILVANE_MESSAGE_UTF16_H_

#include <string>
#include <string_view>

// Appends the UTF-8 form of `units` to `out`. A surrogate pair becomes one
// four-byte character; a surrogate without its partner becomes U+FFFD. A zero
// code unit becomes a zero byte.
void appendUtf8FromUtf16(std::u16string_view units, std::string& out);

#endif  // MAILVANE_MESSAGE_UTF16_H_
