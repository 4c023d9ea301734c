// UTF-16 to UTF-8 conversion by the system: WideCharToMultiByte with code
// page 65001 and no flags, which turns a surrogate without its partner into
// U+FFFD and a zero code unit into a zero byte.

#include <windows.h>

#include "message/utf16.h"

namespace {

// The converter counts in int; longer text goes through in slices.
constexpr std::size_t kSliceUnits = std::size_t{1} << 20;

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

}  // namespace

void appendUtf8FromUtf16(std::u16string_view units, std::string& out) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t),
                "Windows text is UTF-16 in wchar_t");
  while (!units.empty()) {
    std::size_t take = units.size() < kSliceUnits ? units.size() : kSliceUnits;
    // A slice never parts a surrogate pair.
    if (take < units.size() && isHighSurrogate(units[take - 1])) --take;
    const auto* wide = reinterpret_cast<const wchar_t*>(units.data());
    const int count = static_cast<int>(take);
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, count, nullptr, 0, nullptr,
                                nullptr);
    if (n > 0) {
      std::size_t at = out.size();
      out.resize(at + static_cast<std::size_t>(n));
      n = WideCharToMultiByte(CP_UTF8, 0, wide, count, out.data() + at, n,
                              nullptr, nullptr);
      out.resize(at + static_cast<std::size_t>(n > 0 ? n : 0));
    }
    units.remove_prefix(take);
  }
}
