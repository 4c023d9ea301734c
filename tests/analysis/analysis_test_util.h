// Shared by the analysis tests: run a message given as text through analyse
// and read its results back as one compact string; show a line readably.

#ifndef MAILVANE_TESTS_ANALYSIS_ANALYSIS_TEST_UTIL_H_
#define MAILVANE_TESTS_ANALYSIS_ANALYSIS_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

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

// A case of the thorough reading: a message, its results with -thorough and
// its results without (which must stay those of the written rules).
struct ThoroughCase {
  const char* name;
  std::string message;
  const char* wantThorough;
  const char* wantWritten;
};

// Checks every case both ways, each with an analyser of its own setting.
inline void expectThoroughCases(const std::vector<ThoroughCase>& cases) {
  for (const ThoroughCase& c : cases) {
    SCOPED_TRACE(c.name);
    MessageAnalysis written(mailvane());
    MessageAnalysis thorough(mailvane());
    thorough.setThorough(true);
    std::string got = results(thorough, c.message);
    EXPECT_EQ(got, c.wantThorough) << "thorough: got " << got;
    got = results(written, c.message);
    EXPECT_EQ(got, c.wantWritten) << "written rules: got " << got;
  }
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
