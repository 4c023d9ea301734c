// The version text and the attribution line of the banner.

#include "driver/version.h"

#include <cstdio>

#include "driver/platform.h"

namespace {

constexpr int kFirstYear = 2014;
constexpr char kProjectAddress[] = "https://mailvane.example.org";
// A build number longer than this is not shown.
constexpr std::size_t kMaxBuildNumberLength = 9;

}  // namespace

std::string buildVersionText() {
  return normalizeVersionText(programFileVersion());
}

// The value is handled as " " + value + "\n", the line feed marking where the
// version ends while components are cut off behind it:
//   1. every "," becomes "." and the blanks after dots go, so a value written
//      "1, 2, 0, 7" reads "1.2.0.7";
//   2. the last component is cut off and kept as the build number unless it
//      is "0", empty, or longer than nine characters;
//   3. trailing ".0" components are cut off, but never the first one, so the
//      text keeps at least a major and a minor number when it had them.
std::string normalizeVersionText(std::string_view fileVersion) {
  if (fileVersion.empty()) return "";
  std::string text = " ";
  text.append(fileVersion);
  text += '\n';

  for (char& c : text) {
    if (c == ',') c = '.';
  }
  for (std::size_t at = text.find(". "); at != std::string::npos;
       at = text.find(". ", at)) {
    text.erase(at + 1, 1);
  }

  std::string buildNumber;
  std::size_t lastDot = text.rfind('.');
  if (lastDot != std::string::npos) {
    std::size_t lineEnd = text.find('\n', lastDot);
    std::string_view lastComponent =
        std::string_view(text).substr(lastDot + 1, lineEnd - lastDot - 1);
    if (lastComponent != "0" && !lastComponent.empty() &&
        lastComponent.size() <= kMaxBuildNumberLength) {
      buildNumber = lastComponent;
    }
    text.resize(lastDot);
    text += '\n';
  }

  std::size_t firstDot = text.find('.');
  if (firstDot != std::string::npos) {
    for (std::size_t zero = text.find(".0\n", firstDot + 1);
         zero != std::string::npos; zero = text.find(".0\n", firstDot + 1)) {
      text.resize(zero);
      text += '\n';
    }
  }

  text.erase(text.find('\n'));
  if (!buildNumber.empty()) text += " build " + buildNumber;
  return text;
}

std::string attributionText(int year) {
  std::string years = std::to_string(kFirstYear);
  if (year > kFirstYear) {
    years += '-';
    years += std::to_string(year - 2000);
  }
  return "Copyright (c) " + years + " The Mailvane authors, " + kProjectAddress;
}

void printAttribution() {
  std::string line =
      attributionText(currentLocalTime().tm_year + 1900) + "\n\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}
