// The console writer through which every progress, failure and report line
// goes (the banner, the usage line and the exit prompt are written directly).
//
// Lines are written only while the writer is enabled. A lock keeps each line
// whole. A text longer than the limit is cut on the console only; the CSV
// rows always carry full values.

#ifndef MAILVANE_DRIVER_CONSOLE_LOG_H_
#define MAILVANE_DRIVER_CONSOLE_LOG_H_

#include <atomic>
#include <mutex>
#include <string>

class ConsoleLog {
 public:
  // The longest text one print writes, and the longest message of a report
  // after its 20-character stamp prefix.
  static constexpr int kPrintLimit = 8191;
  static constexpr int kReportLimit = 8171;

  void enable();
  void disable();
  bool isEnabled() const { return enableCount_.load() > 0; }

  // Formats like printf and writes the text unchanged (it carries its own
  // line ends), cut at kPrintLimit characters.
  void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Writes "[MM/DD/YY HH:MM:SS] " + the formatted message (cut at
  // kReportLimit characters) + "\n", stamped with the local clock.
  void report(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  std::atomic<int> enableCount_{0};
  std::mutex lock_;
};

// The process-wide console writer.
ConsoleLog& consoleLog();

// The local date and time now as "MM/DD/YY HH:MM:SS" (17 characters, 24-hour
// clock): the stamp of report lines and of CSV rows.
std::string localStamp();

#endif  // MAILVANE_DRIVER_CONSOLE_LOG_H_
