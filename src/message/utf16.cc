// UTF-16 to UTF-8 conversion (RFC 2781, RFC 3629). Windows builds use the
// system's converter instead (utf16_windows.cc).

#include "message/utf16.h"

#ifndef _WIN32

namespace {

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void appendCodePoint(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

void appendUtf8FromUtf16(std::u16string_view units, std::string& out) {
  constexpr char32_t kReplacement = 0xFFFD;
  for (size_t i = 0; i < units.size(); ++i) {
    char16_t unit = units[i];
    if (isHighSurrogate(unit) && i + 1 < units.size() &&
        isLowSurrogate(units[i + 1])) {
      appendCodePoint(0x10000 + ((char32_t{unit} - 0xD800) << 10) +
                          (char32_t{units[i + 1]} - 0xDC00),
                      out);
      ++i;
    } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
      appendCodePoint(kReplacement, out);
    } else {
      appendCodePoint(unit, out);
    }
  }
}

#endif  // _WIN32
