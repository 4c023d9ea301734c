// The program around the analyser: the command line, the walk over the input
// files, the per-message console report and the CSV rows.
//
// This is the front header of the driver. Everything runs on the main
// thread. Failures are console lines, never the error stream; the exit
// status tells a caller, a mail system included, whether the run went
// through and, when the output file failed it, whether to try again later.

#ifndef MAILVANE_DRIVER_RUN_H_
#define MAILVANE_DRIVER_RUN_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The settings taken from the command line. `emlPath` (with `emlNames`) and
// `dirPath` exclude each other: setting one clears the other.
struct RunOptions {
  std::string emlPath;  // a file, or a pattern with "*" and "?"
  // Further files named after the pattern, each exactly: the names a POSIX
  // shell put there when it expanded an unquoted pattern.
  std::vector<std::string> emlNames;
  std::string dirPath;
  std::string outPath;
  bool append = false;
  bool waitExit = false;
  bool recursive = false;  // -dir walks sub-folders too
  // No banner and no per-message report lines; failures and a summary.
  bool quiet = false;
  // -header: a file that is empty once opened starts with the column names.
  bool header = false;
  // -kind: every row gets a seventh column, the kind of message it is from.
  bool kind = false;
  // -thorough: the analysis reads each message thoroughly (see
  // MessageAnalysis::setThorough); the rows follow the written rules without.
  bool thorough = false;
};

// Exit statuses of runProgram. The output file's failures (1, 75) come
// first, then a requested stop (130 or 143, see stopRequest), then 66, then
// 65.
constexpr int kExitOk = 0;
// The output file could not be opened, written or closed.
constexpr int kExitOutputFailed = 1;
// Also: -append onto a file whose rows have another number of columns.
constexpr int kExitUsage = 2;
// A message was given up: its text drove the analysis past a limit
// (EX_DATAERR).
constexpr int kExitDataError = 65;
// A named input yielded no message file, or one could not be opened or read
// (EX_NOINPUT).
constexpr int kExitNoInput = 66;
// As kExitOutputFailed, but for a cause that passes: the file is locked by
// another run, or the disk or quota is full. It is EX_TEMPFAIL, which mail
// systems take as "defer and retry" rather than a lost message.
constexpr int kExitTryLater = 75;

// The whole run: banner, usage line, options, walk, key wait.
int runProgram(int argc, char** argv);

// Fills `options` from argv[1..]; true when an output path and an input
// (file pattern or directory) were given. Unknown arguments are ignored.
// On POSIX systems the arguments after -eml's value, up to the next one
// beginning with "-", are further names (`emlNames`).
bool parseOptions(int argc, char** argv, RunOptions& options);

// The part of `path` after its last path separator; the whole path when it
// has none. Column 2 of a row.
std::string_view baseName(std::string_view path);

// One CSV row: six quoted fields, seven with `kind`, inner quotes doubled,
// ending in CRLF.
std::string csvRow(std::string_view stamp, std::string_view baseName,
                   std::string_view action, std::string_view status,
                   std::string_view recipient, std::string_view subject,
                   std::optional<std::string_view> kind = std::nullopt);
// The same row, appended to `rows`.
void appendCsvRow(std::string& rows, std::string_view stamp,
                  std::string_view baseName, std::string_view action,
                  std::string_view status, std::string_view recipient,
                  std::string_view subject,
                  std::optional<std::string_view> kind = std::nullopt);

// Counts the columns of the first row of a CSV text handed over in pieces,
// in order, and tells where that row ends. Fields may be quoted, with a
// quote inside doubled; a comma or line break inside quotes belongs to the
// field (a subject may hold both). The row ends at the first LF outside
// quotes, or with the text. Unquoted fields are taken too, so a file of
// some other shape still gets a count. Used to check an -append output file
// and by tests.
class FirstRowColumns {
 public:
  // Takes the next piece; true once the row has ended, after which further
  // pieces change nothing.
  bool take(std::string_view piece);
  // The row's columns so far: its commas outside quotes, plus one.
  std::size_t count() const { return commas_ + 1; }

 private:
  bool isInQuotes_ = false;
  bool isEnded_ = false;
  std::size_t commas_ = 0;
};

#endif  // MAILVANE_DRIVER_RUN_H_
