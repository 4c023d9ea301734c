// Shared by the analysis tests: run a message given as text through analyse
// and read its results back as one compact string; show a line readably.

#ifndef MAILVANE_TESTS_ANALYSIS_ANALYSIS_TEST_UTIL_H_
#define MAILVANE_TESTS_ANALYSIS_ANALYSIS_TEST_UTIL_H_

#include <cstdio>
#include <string>
#include <string_view>

#include "analysis/message_analysis.h"
#include "test_util.h"

// Analyses `text` with `a`; the results as {action,status,recipient} groups.
inline std::string results(MessageAnalysis& a, std::string_view text) {
  MessageBuffer buffer;
  loadBytes(buffer, text);
  a.analyse(&buffer);
  std::string out;
  for (const RecipientResult& r : a.recipients) {
    out += "{" + r.action + "," + r.status + "," + r.recipient + "}";
  }
  return out;
}

// `line` with every byte outside printable ASCII written as \xNN.
inline std::string shown(std::string_view line) {
  std::string out;
  for (char c : line) {
    auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

#endif  // MAILVANE_TESTS_ANALYSIS_ANALYSIS_TEST_UTIL_H_
