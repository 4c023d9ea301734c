// The console writer. Each line is formatted into a local buffer and written
// with one fwrite while the lock is held, then standard output is flushed, so
// lines stay whole and keep their order with the banner, the usage line and
// the exit prompt, which are written to standard output directly.

#include "driver/console_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "driver/platform.h"

namespace {

// "[MM/DD/YY HH:MM:SS] " before the message of a report line.
constexpr int kStampPrefixLength = 20;

// The number of characters vsnprintf placed in a buffer of `size` bytes,
// given what it returned; 0 when formatting failed.
int formattedLength(int result, int size) {
  if (result < 0) return 0;
  return result < size ? result : size - 1;
}

}  // namespace

void ConsoleLog::enable() { ++enableCount_; }

void ConsoleLog::disable() { --enableCount_; }

void ConsoleLog::print(const char* format, ...) {
  if (!isEnabled()) return;
  char text[kPrintLimit + 1];
  std::va_list args;
  va_start(args, format);
  int length = formattedLength(std::vsnprintf(text, sizeof text, format, args),
                               sizeof text);
  va_end(args);

  std::lock_guard<std::mutex> hold(lock_);
  std::fwrite(text, 1, length, stdout);
  std::fflush(stdout);
}

void ConsoleLog::report(const char* format, ...) {
  if (!isEnabled()) return;
  // Stamp prefix, at most kReportLimit message characters, line feed and the
  // terminator vsnprintf writes.
  char line[kStampPrefixLength + kReportLimit + 2];
  std::va_list args;
  va_start(args, format);
  int length = formattedLength(
      std::vsnprintf(line + kStampPrefixLength, kReportLimit + 1, format, args),
      kReportLimit + 1);
  va_end(args);

  std::lock_guard<std::mutex> hold(lock_);
  std::string stamp = localStamp();
  line[0] = '[';
  std::memcpy(line + 1, stamp.data(), stamp.size());
  line[kStampPrefixLength - 2] = ']';
  line[kStampPrefixLength - 1] = ' ';
  line[kStampPrefixLength + length] = '\n';
  std::fwrite(line, 1, kStampPrefixLength + length + 1, stdout);
  std::fflush(stdout);
}

std::string localStamp() {
  std::tm now = currentLocalTime();
  char stamp[32];
  std::size_t length =
      std::strftime(stamp, sizeof stamp, "%m/%d/%y %H:%M:%S", &now);
  return std::string(stamp, length);
}
