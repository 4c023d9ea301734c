// The console writer through which every progress, failure and report line
// goes (the banner, the usage line and the exit prompt are written directly).
//
// Lines are written only while the writer is enabled. A lock keeps each line
// whole. A text longer than the limit is cut on the console only; the CSV
// rows always carry full values.

#ifndef MAILVANE_DRIVER_CONSOLE_LOG_H_
#define MAILVANE_DRIVER_CONSOLE_LOG_H_

#include <span>
#include <string>
#include <string_view>

#ifdef _WIN32
#include <memory>
// The system's CRITICAL_SECTION, named here so that this header needs no
// <windows.h>.
struct _RTL_CRITICAL_SECTION;
#else
#include <atomic>
#include <mutex>
#endif

// Lets the compiler check the arguments of a printf-like member function.
#if defined(__GNUC__) || defined(__clang__)
#define MAILVANE_PRINTF_FORMAT(format_index, first_argument) \
  __attribute__((format(printf, format_index, first_argument)))
#else
#define MAILVANE_PRINTF_FORMAT(format_index, first_argument)
#endif

class ConsoleLog {
 public:
  // The longest text one print writes, and the longest message of a report
  // after its 20-character stamp prefix.
  static constexpr int kPrintLimit = 8191;
  static constexpr int kReportLimit = 8171;

  ConsoleLog();
  ~ConsoleLog();
  ConsoleLog(const ConsoleLog&) = delete;
  ConsoleLog& operator=(const ConsoleLog&) = delete;

  void enable();
  void disable();
  bool isEnabled() const;

  // Formats like printf and writes the text unchanged (it carries its own
  // line ends), cut at kPrintLimit characters.
  void print(const char* format, ...) MAILVANE_PRINTF_FORMAT(2, 3);
  // Writes `label`, then `value` as safeConsoleText shows it, then "\n",
  // the whole cut at kPrintLimit characters: print("%s%s\n", label,
  // safeConsoleText(value)) without the formatting, for the lines each
  // message prints.
  void printField(std::string_view label, std::string_view value);
  // A label and a value, as printField writes them.
  struct Field {
    std::string_view label;
    std::string_view value;
  };
  // printField of each in turn, holding the lock once for them all: the
  // lines of one message's report.
  void printFields(std::span<const Field> fields);
  // Writes "[MM/DD/YY HH:MM:SS] " + the formatted message (cut at
  // kReportLimit characters) + "\n", stamped with the local clock.
  void report(const char* format, ...) MAILVANE_PRINTF_FORMAT(2, 3);
  // report("%s%s", label, safeConsoleText(value)) without the formatting,
  // for the line that begins each message.
  void reportField(std::string_view label, std::string_view value);

 private:
  // Holds the lock while one line is written.
  class LineHold;
  // Stamps and writes a report line; see the definition. REQUIRES: a
  // LineHold of this writer.
  void writeReport(char* line, int length);

  // The line being formatted, kept from line to line so that a line costs
  // no allocation (at most kPrintLimit bytes). Guarded by the lock.
  std::string line_;

#ifdef _WIN32
  // Changed with InterlockedIncrement and InterlockedDecrement; the lock is
  // a critical section that lives as long as the writer.
  volatile long enableCount_ = 0;
  std::unique_ptr<_RTL_CRITICAL_SECTION> lock_;
#else
  std::atomic<int> enableCount_{0};
  std::mutex lock_;
#endif
};

// The process-wide console writer.
ConsoleLog& consoleLog();

// `text` as the console may show it: the control bytes 00 to 08, 0A to 1F
// and 7F become "\x" and two upper-case hex digits (ESC is \x1B), and the
// two-byte UTF-8 forms of the controls U+0080 to U+009F (C2 80 to C2 9F)
// become "\xC2\xHH". TAB and every other byte pass unchanged. Text from a
// message or a file name goes through this, so that it can neither steer
// the terminal nor start a console line of its own; the CSV rows keep the
// raw bytes.
std::string safeConsoleText(std::string_view text);
// The same, appended to `out`.
void appendSafeConsoleText(std::string& out, std::string_view text);

// The local date and time now as "MM/DD/YY HH:MM:SS" (17 characters, 24-hour
// clock): the stamp of report lines and of CSV rows. The text is the
// thread's own and changes at the next call in a later second.
const std::string& localStamp();

#endif  // MAILVANE_DRIVER_CONSOLE_LOG_H_
