// The program around the analyser: the command line, the walk over the input
// files, the per-message console report and the CSV rows.
//
// This is the front header of the driver. Everything runs on the main
// thread. Failures are console lines, never the error stream; the exit
// status tells a caller, a mail system included, whether the run went
// through and, when the output file failed it, whether to try again later.

#ifndef MAILVANE_DRIVER_RUN_H_
#define MAILVANE_DRIVER_RUN_H_

#include <string>
#include <string_view>

class OutputFile;
struct OutputFailure;

// The settings taken from the command line. `emlPath` and `dirPath` exclude
// each other: setting one clears the other.
struct RunOptions {
  std::string emlPath;
  std::string dirPath;
  std::string outPath;
  bool append = false;
  bool waitExit = false;
  // -thorough: the analysis reads each message thoroughly (see
  // MessageAnalysis::setThorough); the rows follow the written rules without.
  bool thorough = false;
};

// Exit statuses of runProgram.
constexpr int kExitOk = 0;
// The output file could not be opened, written or closed.
constexpr int kExitOutputFailed = 1;
constexpr int kExitUsage = 2;
// As kExitOutputFailed, but for a cause that passes: the file is locked by
// another run, or the disk or quota is full. It is EX_TEMPFAIL, which mail
// systems take as "defer and retry" rather than a lost message.
constexpr int kExitTryLater = 75;

// The whole run: banner, usage line, options, walk, key wait.
int runProgram(int argc, char** argv);

// Fills `options` from argv[1..]; true when an output path and an input
// (file pattern or directory) were given. Unknown arguments are ignored.
bool parseOptions(int argc, char** argv, RunOptions& options);

// Loads, analyses and reports one message file and writes all its rows to
// `out` with one write. `isNamedExactly` lets a path the user named be a
// pipe, FIFO or device (see MessageFile::open). False only when that write
// failed, with `failure` filled in and the file cut back to the rows of
// earlier messages; a file that cannot be read or analysed is reported and
// gives true.
bool processMessageFile(const std::string& path, OutputFile& out,
                        bool isNamedExactly, OutputFailure& failure);

// The part of `path` after its last path separator; the whole path when it
// has none. Column 2 of a row.
std::string_view baseName(std::string_view path);

// One CSV row: six quoted fields, inner quotes doubled, ending in CRLF.
std::string csvRow(std::string_view stamp, std::string_view baseName,
                   std::string_view action, std::string_view status,
                   std::string_view recipient, std::string_view subject);
// The same row, appended to `rows`.
void appendCsvRow(std::string& rows, std::string_view stamp,
                  std::string_view baseName, std::string_view action,
                  std::string_view status, std::string_view recipient,
                  std::string_view subject);

#endif  // MAILVANE_DRIVER_RUN_H_
