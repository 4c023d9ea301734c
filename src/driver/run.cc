// The run loop (banner, options, output file, walk over the input files, key
// wait) and the per-message step with its console report and CSV rows.

#include "driver/run.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "analysis/message_analysis.h"
#include "driver/console_log.h"
#include "driver/input_walk.h"
#include "driver/platform.h"
#include "driver/version.h"
#include "message/ascii_text.h"
#include "message/keep_limits.h"
#include "message/mailbox_reader.h"
#include "message/message_buffer.h"

namespace {

constexpr char kProductName[] = "Mailvane";
constexpr char kUsageLine[] =
    "Usage: Mailvane.exe [-eml filename | -dir dirpath] -out filename "
    "[-append]\n\n";
constexpr char kExitPrompt[] = "\nPress any key to exit.\n";
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
// onto Mailvane rows of the other width (six columns, or seven with the
// kind) is refused before any message is read, since a file of mixed
// widths is unreadable to every CSV reader; a file of any other text is
// appended to as before. With -header a file that is empty now gets the
// column names first; a file that already holds rows never gets a header.
// Returns kExitOk or the run's exit status.
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
  if ((found == kRowColumns || found == kRowColumnsWithKind) && found != want) {
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

// What a run met: the counts of -quiet's summary line, and what decides the
// exit status when the output file did not fail.
struct RunTally {
  long files = 0;     // message files opened
  long messages = 0;  // messages read from them
  long rows = 0;
  long unreadable = 0;        // message files that could not be opened
  long givenUp = 0;           // messages the analysis gave up on
  bool isAnyMissing = false;  // a named input yielded no file
};

// The status of a run whose output file held: a requested stop first, then
// input that could not be found or read, then messages given up.
int exitStatusOf(const RunTally& tally) {
  if (stopRequest() != 0) return stopRequest();
  if (tally.isAnyMissing || tally.unreadable > 0) return kExitNoInput;
  if (tally.givenUp > 0) return kExitDataError;
  return kExitOk;
}

// -quiet's progress on standard error while it is a terminal: one line,
// rewritten at most ten times a second, cleared at the end.
class ProgressLine {
 public:
  ProgressLine(bool isShown, long files) : isShown_(isShown), files_(files) {}
  ~ProgressLine() {
    if (isShown_ && length_ > 0) {
      std::fprintf(stderr, "\r%*s\r", length_, "");
      std::fflush(stderr);
    }
  }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // `isInFile`: a file is in hand, so it is not done yet.
  void update(const RunTally& tally, bool isInFile) {
    if (!isShown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - shownAt_ < std::chrono::milliseconds(100)) return;
    shownAt_ = now;
    const long done = tally.files + tally.unreadable - (isInFile ? 1 : 0);
    std::fputc('\r', stderr);
    int length;
    if (files_ > 0) {
      length = std::fprintf(stderr, "Read %ld messages (%ld%% of %ld files)",
                            tally.messages, 100 * done / files_, files_);
    } else {
      length = std::fprintf(stderr, "Read %ld messages", tally.messages);
    }
    // Spaces over what a longer line before left standing.
    if (length < length_) std::fprintf(stderr, "%*s", length_ - length, "");
    if (length > length_) length_ = length;
    std::fflush(stderr);
  }

 private:
  const bool isShown_;
  const long files_;
  int length_ = 0;
  std::chrono::steady_clock::time_point shownAt_{};
};

// One run over the inputs: the output file, the tally, and the per-message
// step with its console report and CSV rows.
class Run {
 public:
  Run(const RunOptions& options, OutputFile& out)
      : options_(options), out_(out), log_(consoleLog()) {}

  // Hands every input file to processFile until a message's rows cannot be
  // written (rows of later files would go nowhere, so their files are left
  // unread for the next run) or a stop is requested. False when the rows
  // could not be written, with `failure` filled in.
  bool walk(OutputFailure& failure);
  const RunTally& tally() const { return tally_; }

 private:
  bool processFile(const InputFile& file, OutputFailure& failure);
  void reportUnreadable(std::string_view shownPath, bool isCounted);
  bool processMessage(MessageBuffer& buffer, std::string_view shownPath,
                      std::string_view column, OutputFailure& failure);
  bool writeReportAndRows(MessageAnalysis& analysis, MessageBuffer& buffer,
                          std::string_view column, OutputFailure& failure);
  void showReport(const MessageAnalysis& analysis);
  bool writeRows(const MessageAnalysis& analysis, std::string_view column,
                 OutputFailure& failure);

  const RunOptions& options_;
  OutputFile& out_;
  ConsoleLog& log_;
  RunTally tally_;
  // One message's report lines and rows, kept from message to message
  // within the limits of message/keep_limits.h.
  std::vector<ConsoleLog::Field> shownFields_;
  std::string rows_;
  ProgressLine* progress_ = nullptr;  // during walk() only
};

WalkRequest walkRequestOf(const RunOptions& options) {
  return {options.emlPath, options.emlNames, options.dirPath,
          options.recursive};
}

bool Run::walk(OutputFailure& failure) {
  const WalkRequest request = walkRequestOf(options_);
  // The share done needs the number of files first: a walk of its own, made
  // only when the progress line is shown.
  const bool isProgressShown = options_.quiet && isStandardErrorTerminal();
  long files = 0;
  if (isProgressShown) {
    walkInputs(
        request, [&](const InputFile&) { return ++files, true; }, [] {});
  }
  ProgressLine progress(isProgressShown, files);
  // Each message moves it on, so a large mailbox shows its progress too.
  progress_ = &progress;
  bool isWritten = true;
  walkInputs(
      request,
      [&](const InputFile& file) {
        isWritten = processFile(file, failure);
        progress.update(tally_, false);
        return isWritten && stopRequest() == 0;
      },
      [&] {
        tally_.isAnyMissing = true;
        log_.report("Eml file(-s) not found.");
      });
  progress_ = nullptr;
  return isWritten;
}

// Opens the output file and walks the inputs. Returns the exit status.
int processInputs(const RunOptions& options) {
  ConsoleLog& log = consoleLog();
  const std::string outName = safeConsoleText(options.outPath);
  OutputFile out;
  const int openStatus = openOutput(options, out);
  if (openStatus != kExitOk) return openStatus;
  OutputFailure failure;
  Run run(options, out);
  const bool isWritten = run.walk(failure);
  const RunTally& tally = run.tally();
  if (options.quiet) {
    log.report(
        "Read %ld messages from %ld files: %ld rows; %ld unreadable, "
        "%ld given up",
        tally.messages, tally.files, tally.rows, tally.unreadable,
        tally.givenUp);
  }
  if (!isWritten || !out.close(failure)) {
    log.report("Unable to write output file %s (error %i)", outName.c_str(),
               failure.error);
    return exitStatusOf(failure);
  }
  return exitStatusOf(tally);
}

}  // namespace

int runProgram(int argc, char** argv) {
#ifdef _WIN32
  installFaultTranslator();
  // Names and subjects are UTF-8: the console window shows them so for the
  // whole run, key wait included, on every way out.
  Utf8ConsoleOutput utf8Console;
#endif
  RunOptions options;
  const bool isUsable = parseOptions(argc, argv, options);
  // A quiet run has no banner; unusable options still get the usage line
  // as their hint.
  if (!options.quiet || !isUsable) {
    writeDirect(std::string(kProductName) + buildVersionText() + "\n");
    printAttribution();
    writeDirect(kUsageLine);
  }

  consoleLog().enable();
  int status = kExitUsage;
  // Unusable options get no message of their own: the usage line is the hint.
  if (isUsable) {
    installStopRequests();
    messageAnalysis().setThorough(options.thorough);
    status = processInputs(options);
  }
  consoleLog().disable();

  if (options.waitExit) {
    writeDirect(kExitPrompt);
    waitForKey();
  }
  return status;
}

// The options that take no value, and the setting each turns on.
constexpr std::pair<std::string_view, bool RunOptions::*> kSwitches[] = {
    {"-append", &RunOptions::append},
    {"-waitexit", &RunOptions::waitExit},
    {"-recursive", &RunOptions::recursive},
    {"-quiet", &RunOptions::quiet},
    {"-header", &RunOptions::header},
    {"-kind", &RunOptions::kind},
    {"-thorough", &RunOptions::thorough},
};

// The further names after -eml's value are the shell's expansion of an
// unquoted pattern; Windows shells expand nothing, so there they stay
// unknown arguments.
bool parseOptions(int argc, char** argv, RunOptions& options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    // The value is the next argument whatever it looks like; an option that
    // ends the command line has none and is ignored.
    const bool hasValue = i + 1 < argc;
    if (isOption(arg, "-eml")) {
      if (hasValue) {
        options.emlPath = argv[++i];
        options.emlNames.clear();
        options.dirPath.clear();
#ifndef _WIN32
        while (i + 1 < argc && argv[i + 1][0] != '-') {
          options.emlNames.emplace_back(argv[++i]);
        }
#endif
      }
    } else if (isOption(arg, "-dir")) {
      if (hasValue) {
        options.dirPath = argv[++i];
        options.emlPath.clear();
        options.emlNames.clear();
      }
    } else if (isOption(arg, "-out")) {
      if (hasValue) options.outPath = argv[++i];
    } else {
      for (const auto& [name, setting] : kSwitches) {
        if (isOption(arg, name)) options.*setting = true;
      }
    }
  }
  return !options.outPath.empty() &&
         (!options.dirPath.empty() || !options.emlPath.empty());
}

std::string_view baseName(std::string_view path) {
  return path.substr(fileNameStart(path));
}

namespace {

// A file holding one message is read as such, under its own name. A
// mailbox is read one message at a time, each named by the file's name, "#"
// and its number from 1; memory then follows the largest message, not the
// file.
bool Run::processFile(const InputFile& file, OutputFailure& failure) {
  MessageFile source;
  if (!source.open(file.path, &out_, file.isNamedExactly)) {
    // A stop requested while the open waited for a FIFO's writer is no
    // fault of the file. The output file in the scanned folder is shown as
    // ever, but it is no input the user meant, so the run still went through.
    if (stopRequest() == 0) reportUnreadable(file.path, !source.isOutputFile());
    return true;
  }
  ++tally_.files;
  MailboxReader reader(source);
  MessageBuffer buffer;
  buffer.loadFrom(reader, source.size());
  const bool isMailbox = reader.isAtNextMessage();
  std::string shownPath;
  std::string column;
  for (long number = 1;; ++number) {
    if (isMailbox) {
      const std::string digits = std::to_string(number);
      shownPath.assign(file.path).append(1, '#').append(digits);
      column.assign(file.column()).append(1, '#').append(digits);
    }
    const std::string_view shown = isMailbox ? shownPath : file.path;
    // An incomplete message gets no rows: a stop was requested while a read
    // waited (the run ends without it), or a read failed.
    if (source.isInterrupted()) return true;
    if (reader.hasFailed()) {
      reportUnreadable(shown, true);
      return true;
    }
    if (!processMessage(buffer, shown, isMailbox ? column : file.column(),
                        failure)) {
      return false;
    }
    if (!reader.isAtNextMessage() || stopRequest() != 0) return true;
    reader.startNextMessage();
    buffer.loadFrom(reader, 0);
  }
}

// "Unable to read eml from" `shownPath`, after its "Parsing eml" line;
// `isCounted` when it is an input left unread (exit status 66).
void Run::reportUnreadable(std::string_view shownPath, bool isCounted) {
  if (!options_.quiet) log_.reportField("Parsing eml ", shownPath);
  log_.report("Unable to read eml from %s", safeConsoleText(shownPath).c_str());
  if (isCounted) ++tally_.unreadable;
}

// Analyses and reports one loaded message and writes all its rows to the
// output file with one write. False only when that write failed, with
// `failure` filled in and the file cut back to the rows of earlier messages;
// a message the analysis gives up on is reported and gives true.
bool Run::processMessage(MessageBuffer& buffer, std::string_view shownPath,
                         std::string_view column, OutputFailure& failure) {
  ++tally_.messages;
  if (!options_.quiet) log_.reportField("Parsing eml ", shownPath);
  // Pathological text can exceed the regex library's complexity or stack
  // limits, and a huge file the memory; that costs this one message, not
  // the run.
  MessageAnalysis& analysis = messageAnalysis();
  // Reported inside the handler: the library's words live only as long as
  // the exception.
  bool isGivenUp = false;
  const auto giveUp = [&](const char* why) {
    log_.report("Unable to analyse eml %s (%s)",
                safeConsoleText(shownPath).c_str(), why);
    isGivenUp = true;
  };
  try {
    analysis.analyse(&buffer);
  } catch (const std::runtime_error& error) {
    giveUp(error.what());
  } catch (const std::bad_alloc& error) {
    giveUp(error.what());
  }
  if (isGivenUp) {
    ++tally_.givenUp;
    analysis.reset();
    buffer.release();
    return true;
  }
  const bool isWritten = writeReportAndRows(analysis, buffer, column, failure);
  progress_->update(tally_, true);
  return isWritten;
}

// The report lines and the rows need only the results. The parsed message,
// which views the buffer and for a report of many recipients is far larger
// than its rows, is let go before the buffer and before they are formatted,
// so the two never take memory at once.
bool Run::writeReportAndRows(MessageAnalysis& analysis, MessageBuffer& buffer,
                             std::string_view column, OutputFailure& failure) {
  analysis.releaseMessage();
  buffer.release();
  if (!options_.quiet) showReport(analysis);
  return writeRows(analysis, column, failure);
}

// The message's report lines, written at once.
void Run::showReport(const MessageAnalysis& analysis) {
  shownFields_.assign({{"  Bounce?: ", yesNo(analysis.isBounce)},
                       {"  FBL?: ", yesNo(analysis.isFbl)},
                       {"  Autoresponse?: ", yesNo(analysis.isAutoResponse)},
                       {"  Subject: ", analysis.subject}});
  for (const RecipientResult& result : analysis.recipients) {
    shownFields_.insert(shownFields_.end(),
                        {{"  Action: ", result.action},
                         {"  Status: ", result.status},
                         {"  Recipient: ", result.recipient}});
  }
  log_.printFields(shownFields_);
  clearKeepingUpTo(shownFields_, 4 + 3 * kKeptRecipients);
}

// All rows of the message in one write, so that a run that is killed or
// whose write fails leaves whole messages' rows behind, never part of one.
bool Run::writeRows(const MessageAnalysis& analysis, std::string_view column,
                    OutputFailure& failure) {
  const std::optional<std::string_view> kind =
      options_.kind ? std::optional(kindName(analysis.resultKind))
                    : std::nullopt;
  for (const RecipientResult& result : analysis.recipients) {
    appendCsvRow(rows_, localStamp(), column, result.action, result.status,
                 result.recipient, analysis.subject, kind);
  }
  const bool isWritten = rows_.empty() || out_.write(rows_, failure);
  if (isWritten) tally_.rows += static_cast<long>(analysis.recipients.size());
  clearKeepingUpTo(rows_, kKeptTextBytes);
  return isWritten;
}

}  // namespace

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
