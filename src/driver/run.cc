// The run loop (banner, options, output file, walk over the input files, key
// wait) and the per-message step with its console report and CSV rows.

#include "driver/run.h"

#include <new>
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
  OutputFailure failure;
  if (!out.open(options.outPath, options.append, failure)) {
    log.report("Unable to open output file %s (error %i)", outName.c_str(),
               failure.error);
    return exitStatusOf(failure);
  }

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
      isWritten = processMessageFile(path, out, isNamedExactly, failure);
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
  if (parseOptions(argc, argv, options)) {
    messageAnalysis().setThorough(options.thorough);
    status = processMatches(options);
  }
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
    } else if (isOption(arg, "-thorough")) {
      options.thorough = true;
    }
  }
  return !options.outPath.empty() &&
         (!options.dirPath.empty() || !options.emlPath.empty());
}

std::string_view baseName(std::string_view path) {
  return path.substr(fileNameStart(path));
}

bool processMessageFile(const std::string& path, OutputFile& out,
                        bool isNamedExactly, OutputFailure& failure) {
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
                 result.recipient, subject);
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
                   std::string_view recipient, std::string_view subject) {
  std::string row;
  appendCsvRow(row, stamp, baseName, action, status, recipient, subject);
  return row;
}

void appendCsvRow(std::string& row, std::string_view stamp,
                  std::string_view baseName, std::string_view action,
                  std::string_view status, std::string_view recipient,
                  std::string_view subject) {
  row.reserve(row.size() + stamp.size() + baseName.size() + action.size() +
              status.size() + recipient.size() + subject.size() + 20);
  bool isFirst = true;
  for (std::string_view value :
       {stamp, baseName, action, status, recipient, subject}) {
    if (!isFirst) row += ',';
    isFirst = false;
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
  row += "\r\n";
}
