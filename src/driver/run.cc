// The run loop (banner, options, output file, walk over the input files, key
// wait) and the per-message step with its console report and CSV rows.

#include "driver/run.h"

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "analysis/message_analysis.h"
#include "driver/console_log.h"
#include "driver/platform.h"
#include "driver/version.h"
#include "message/ascii_text.h"
#include "message/message_buffer.h"

namespace {

constexpr char kProductName[] = "Mailvane";
constexpr char kUsageLine[] =
    "Usage: Mailvane.exe [-eml filename | -dir dirpath] -out filename "
    "[-append]\n\n";
constexpr char kExitPrompt[] = "\nPress any key to exit.\n";
// The rows, the subject and the recipient list of one message keep their
// storage for the next message, up to these capacities (bytes, entries).
constexpr std::size_t kKeptCapacity = 1 << 16;
constexpr std::size_t kKeptRecipients = 256;
// The columns of a row, and of a row with the kind column.
constexpr std::size_t kRowColumns = 6;
constexpr std::size_t kRowColumnsWithKind = 7;

// Writes `text` straight to standard output, not through the console writer.
void writeDirect(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// ASCII letters only: options are plain ASCII, and the locale must not decide.
bool isOption(std::string_view arg, std::string_view option) {
  return equalsIgnoreCase(arg, option);
}

const char* yesNo(bool flag) { return flag ? "yes" : "no"; }

// The directory search pattern: `dirPath` with a separator (unless it ends
// in one) and "*" appended, else `emlPath` unchanged. A "/" counts as a
// separator on Windows too, so mail/ gives mail/* there; a drive alone (D:)
// gets its "\\".
std::string searchPattern(const RunOptions& options) {
  if (options.dirPath.empty()) return options.emlPath;
  std::string pattern = options.dirPath;
  const char last = pattern.back();
  if (last != pathSeparator() && last != '/') pattern += pathSeparator();
  pattern += '*';
  return pattern;
}

int exitStatusOf(const OutputFailure& failure) {
  return failure.isRetryable ? kExitTryLater : kExitOutputFailed;
}

// One CSV field: in double quotes, with each quote inside doubled.
void appendQuoted(std::string& row, std::string_view value) {
  row += '"';
  // Up to and including each quote, then the quote once more.
  for (std::size_t quote; (quote = value.find('"')) != value.npos;) {
    row.append(value.substr(0, quote + 1));
    row += '"';
    value.remove_prefix(quote + 1);
  }
  row.append(value);
  row += '"';
}

// The columns of the first row of what an -append open found in `out`; 0
// when it found nothing or cannot read it, so that only a file known to
// differ is refused. The rows of one file all have the same columns, so
// the first row, a header row included, stands for them all.
std::size_t foundColumns(OutputFile& out) {
  if (out.length() == 0) return 0;
  FirstRowColumns columns;
  char piece[1 << 14];
  for (std::uint64_t offset = 0;;) {
    const std::ptrdiff_t n = out.readFound(offset, piece, sizeof piece);
    if (n < 0) return 0;
    if (n == 0 || columns.take({piece, static_cast<std::size_t>(n)})) break;
    offset += static_cast<std::uint64_t>(n);
  }
  return columns.count();
}

// The name a row gives the kind of message it comes from.
std::string_view kindName(ResultKind kind) {
  switch (kind) {
    case ResultKind::kBounce:
      return "bounce";
    case ResultKind::kFeedback:
      return "feedback";
    case ResultKind::kAutoReply:
      return "auto-reply";
    case ResultKind::kNone:
      break;
  }
  return "";  // no branch ran, so there is no row
}

// Opens the output file and readies it for this run's rows: an -append
// onto rows of another width is refused before any message is read, since
// a file of mixed widths is unreadable to every CSV reader, and with
// -header a file that is empty now gets the column names first. A file that
// already holds rows never gets a header. Returns kExitOk or the run's exit
// status.
int openOutput(const RunOptions& options, OutputFile& out) {
  ConsoleLog& log = consoleLog();
  const std::string outName = safeConsoleText(options.outPath);
  OutputFailure failure;
  if (!out.open(options.outPath, options.append, failure)) {
    log.report("Unable to open output file %s (error %i)", outName.c_str(),
               failure.error);
    return exitStatusOf(failure);
  }
  const std::size_t want = options.kind ? kRowColumnsWithKind : kRowColumns;
  const std::size_t found = options.append ? foundColumns(out) : 0;
  if (found != 0 && found != want) {
    log.report(
        "Unable to append to output file %s: its rows have %i columns, this "
        "run's would have %i",
        outName.c_str(), static_cast<int>(found), static_cast<int>(want));
    return kExitUsage;
  }
  if (options.header && out.length() == 0) {
    std::string header;
    appendCsvRow(
        header, "Time", "File", "Action", "Status", "Recipient", "Subject",
        options.kind ? std::optional<std::string_view>("Kind") : std::nullopt);
    if (!out.write(header, failure)) {
      log.report("Unable to write output file %s (error %i)", outName.c_str(),
                 failure.error);
      return exitStatusOf(failure);
    }
  }
  return kExitOk;
}

// Opens the output file and hands every match of the search pattern that is
// neither a directory nor a dot name to processMessageFile, in the order the
// directory listing gives them, until a message's rows cannot be written:
// rows of later files would go nowhere, so their files are left unread for
// the next run. Returns the exit status.
//
// An -eml value without "*" or "?" names one path exactly, and that path is
// read whatever kind of file it is (a pipe, FIFO or /dev/stdin); a directory
// walk or wildcard pattern takes regular files only. The listing still finds
// the named entry, so dot names and directories are skipped as before.
int processMatches(const RunOptions& options) {
  ConsoleLog& log = consoleLog();
  std::string pattern = searchPattern(options);
  const std::string outName = safeConsoleText(options.outPath);

  OutputFile out;
  const int openStatus = openOutput(options, out);
  if (openStatus != kExitOk) return openStatus;
  OutputFailure failure;

  // Each found name replaces the pattern's last component, so the path
  // keeps the directory exactly as the user wrote it.
  std::string path = pattern.substr(0, fileNameStart(pattern));
  const std::size_t nameAt = path.size();
  const bool isNamedExactly = options.dirPath.empty() &&
                              pattern.find_first_of("*?") == std::string::npos;
  bool isAnyFound = false;
  bool isWritten = true;
  DirectorySearch search;
  if (search.start(pattern)) {
    FoundEntry entry;
    while (isWritten && search.next(entry)) {
      // A leading dot covers "." and ".." as well as hidden files.
      if (entry.name.starts_with('.') || entry.isDirectory) continue;
      path.replace(nameAt, std::string::npos, entry.name);
      isWritten =
          processMessageFile(path, out, isNamedExactly, failure, options.kind);
      isAnyFound = true;
    }
  }
  if (!isAnyFound) log.report("Eml file(-s) not found.");
  if (!isWritten || !out.close(failure)) {
    log.report("Unable to write output file %s (error %i)", outName.c_str(),
               failure.error);
    return exitStatusOf(failure);
  }
  return kExitOk;
}

}  // namespace

int runProgram(int argc, char** argv) {
#ifdef _WIN32
  installFaultTranslator();
  // Names and subjects are UTF-8: the console window shows them so for the
  // whole run, key wait included, on every way out.
  Utf8ConsoleOutput utf8Console;
#endif
  writeDirect(std::string(kProductName) + buildVersionText() + "\n");
  printAttribution();
  writeDirect(kUsageLine);

  consoleLog().enable();
  RunOptions options;
  int status = kExitUsage;
  // Unusable options get no message of their own: the usage line is the hint.
  if (parseOptions(argc, argv, options)) status = processMatches(options);
  consoleLog().disable();

  if (options.waitExit) {
    writeDirect(kExitPrompt);
    waitForKey();
  }
  return status;
}

bool parseOptions(int argc, char** argv, RunOptions& options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    // The value is the next argument whatever it looks like; an option that
    // ends the command line has none and is ignored.
    const bool hasValue = i + 1 < argc;
    if (isOption(arg, "-eml")) {
      if (hasValue) {
        options.emlPath = argv[++i];
        options.dirPath.clear();
      }
    } else if (isOption(arg, "-dir")) {
      if (hasValue) {
        options.dirPath = argv[++i];
        options.emlPath.clear();
      }
    } else if (isOption(arg, "-out")) {
      if (hasValue) options.outPath = argv[++i];
    } else if (isOption(arg, "-append")) {
      options.append = true;
    } else if (isOption(arg, "-waitexit")) {
      options.waitExit = true;
    } else if (isOption(arg, "-header")) {
      options.header = true;
    } else if (isOption(arg, "-kind")) {
      options.kind = true;
    }
  }
  return !options.outPath.empty() &&
         (!options.dirPath.empty() || !options.emlPath.empty());
}

std::string_view baseName(std::string_view path) {
  return path.substr(fileNameStart(path));
}

bool processMessageFile(const std::string& path, OutputFile& out,
                        bool isNamedExactly, OutputFailure& failure,
                        bool withKind) {
  ConsoleLog& log = consoleLog();
  log.reportField("Parsing eml ", path);

  MessageBuffer buffer;
  {
    MessageFile file;
    if (!file.open(path, &out, isNamedExactly) ||
        !buffer.loadFrom(file, file.size())) {
      log.report("Unable to read eml from %s", safeConsoleText(path).c_str());
      return true;
    }
  }  // closed: the buffer holds the whole message now

  // Pathological text can exceed the regex library's complexity or stack
  // limits, and a huge file the memory; that costs this one message, not
  // the run.
  MessageAnalysis& analysis = messageAnalysis();
  try {
    analysis.analyse(&buffer);
  } catch (const std::runtime_error& error) {
    log.report("Unable to analyse eml %s (%s)", safeConsoleText(path).c_str(),
               error.what());
    return true;
  } catch (const std::bad_alloc& error) {
    log.report("Unable to analyse eml %s (%s)", safeConsoleText(path).c_str(),
               error.what());
    return true;
  }
  // The analysis holds its own copies of everything it found.
  buffer.release();

  // The report lines and the rows need only the findings. The parsed
  // message, which for a report of many recipients is far larger than its
  // rows, is freed before they are formatted, so the two never take memory
  // at once.
  const std::string_view verdicts[] = {yesNo(analysis.isBounce),
                                       yesNo(analysis.isFbl),
                                       yesNo(analysis.isAutoResponse)};
  std::vector<RecipientResult> results = std::move(analysis.recipients);
  std::string subject = std::move(analysis.subject);
  const std::optional<std::string_view> kind =
      withKind ? std::optional(kindName(analysis.resultKind)) : std::nullopt;
  analysis.reset();

  // The message's report lines, written at once; kept from message to
  // message.
  thread_local std::vector<ConsoleLog::Field> shown;
  shown.assign({{"  Bounce?: ", verdicts[0]},
                {"  FBL?: ", verdicts[1]},
                {"  Autoresponse?: ", verdicts[2]},
                {"  Subject: ", subject}});
  for (const RecipientResult& result : results) {
    shown.insert(shown.end(), {{"  Action: ", result.action},
                               {"  Status: ", result.status},
                               {"  Recipient: ", result.recipient}});
  }
  log.printFields(shown);
  if (shown.capacity() > 4 + 3 * kKeptRecipients) {
    std::vector<ConsoleLog::Field>().swap(shown);
  }

  const std::string_view name = baseName(path);
  // Reused from message to message, unless a message of many rows made it
  // large.
  thread_local std::string rows;
  rows.clear();
  for (const RecipientResult& result : results) {
    appendCsvRow(rows, localStamp(), name, result.action, result.status,
                 result.recipient, subject, kind);
  }
  // All rows of the message in one write, so that a run that is killed or
  // whose write fails leaves whole messages' rows behind, never part of one.
  const bool isWritten = rows.empty() || out.write(rows, failure);
  // The buffers go back for the next message, unless this one made them
  // large.
  if (rows.capacity() > kKeptCapacity) std::string().swap(rows);
  if (subject.capacity() <= kKeptCapacity) {
    subject.clear();
    analysis.subject.swap(subject);
  }
  if (results.capacity() <= kKeptRecipients) {
    results.clear();
    analysis.recipients.swap(results);
  }
  return isWritten;
}

// RFC 4180 quoting: every field in double quotes, a quote inside doubled.
// Line breaks inside a value stay as they are, which quoted fields allow.
std::string csvRow(std::string_view stamp, std::string_view baseName,
                   std::string_view action, std::string_view status,
                   std::string_view recipient, std::string_view subject,
                   std::optional<std::string_view> kind) {
  std::string row;
  appendCsvRow(row, stamp, baseName, action, status, recipient, subject, kind);
  return row;
}

void appendCsvRow(std::string& row, std::string_view stamp,
                  std::string_view baseName, std::string_view action,
                  std::string_view status, std::string_view recipient,
                  std::string_view subject,
                  std::optional<std::string_view> kind) {
  row.reserve(row.size() + stamp.size() + baseName.size() + action.size() +
              status.size() + recipient.size() + subject.size() +
              (kind ? kind->size() + 3 : 0) + 20);
  bool isFirst = true;
  for (std::string_view value :
       {stamp, baseName, action, status, recipient, subject}) {
    if (!isFirst) row += ',';
    isFirst = false;
    appendQuoted(row, value);
  }
  if (kind) {
    row += ',';
    appendQuoted(row, *kind);
  }
  row += "\r\n";
}

// Quotes toggle: a doubled quote inside a quoted field toggles twice and so
// leaves the state as it was, which is all the count needs.
bool FirstRowColumns::take(std::string_view piece) {
  if (isEnded_) return true;
  for (const char c : piece) {
    if (c == '"') {
      isInQuotes_ = !isInQuotes_;
    } else if (!isInQuotes_ && c == ',') {
      ++commas_;
    } else if (!isInQuotes_ && c == '\n') {
      isEnded_ = true;
      break;
    }
  }
  return isEnded_;
}
