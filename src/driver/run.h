// The program around the analyser: the command line, the walk over the input
// files, the per-message console report and the CSV rows.
//
// This is the front header of the driver. Everything runs on the main
// thread. Failures are console lines, never the error stream; the exit
// status says whether the options were usable (2) and the output file could
// be opened (1), and is 0 otherwise.

#ifndef MAILVANE_DRIVER_RUN_H_
#define MAILVANE_DRIVER_RUN_H_

#include <cstdio>
#include <string>
#include <string_view>

// The settings taken from the command line. `emlPath` and `dirPath` exclude
// each other: setting one clears the other.
struct RunOptions {
  std::string emlPath;
  std::string dirPath;
  std::string outPath;
  bool append = false;
  bool waitExit = false;
};

// Exit statuses of runProgram.
constexpr int kExitOk = 0;
constexpr int kExitOutputUnopenable = 1;
constexpr int kExitUsage = 2;

// The whole run: banner, usage line, options, walk, key wait.
int runProgram(int argc, char** argv);

// Fills `options` from argv[1..]; true when an output path and an input
// (file pattern or directory) were given. Unknown arguments are ignored.
bool parseOptions(int argc, char** argv, RunOptions& options);

// Loads, analyses and reports one message file and writes its rows to
// `out`. False when the file could not be read; true otherwise (also when
// the analysis was abandoned).
bool processMessageFile(const std::string& path, std::FILE* out);

// The part of `path` after its last path separator; the whole path when it
// has none. Column 2 of a row.
std::string_view baseName(std::string_view path);

// One CSV row: six quoted fields, inner quotes doubled, ending in CRLF.
std::string csvRow(std::string_view stamp, std::string_view baseName,
                   std::string_view action, std::string_view status,
                   std::string_view recipient, std::string_view subject);

#endif  // MAILVANE_DRIVER_RUN_H_
