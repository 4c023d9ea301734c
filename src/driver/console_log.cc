// The console writer. Each line is formatted into a local buffer and added
// whole to the pending lines while the lock is held. A stamped line sends
// the pending lines and itself to standard output with one write and a
// flush when standard output is a terminal; otherwise the lines go out when
// the pending area is full. Disabling the writer always sends them. No line
// is ever split, and the lines keep their order with the banner, the usage
// line and the exit prompt, which are written to standard output directly
// while the writer is disabled.

#include "driver/console_log.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <array>
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

// The pending lines. Plain static storage: it outlives the writer whatever
// the order of destruction at exit. Guarded by the writer's lock.
constexpr std::size_t kPendingSize = 65536;
char gPending[kPendingSize];
std::size_t gPendingLength = 0;

// Writes the pending lines and flushes standard output.
void flushPending() {
  if (gPendingLength > 0) std::fwrite(gPending, 1, gPendingLength, stdout);
  gPendingLength = 0;
  std::fflush(stdout);
}

// Adds one whole line (at most a print or report line, far below
// kPendingSize); the pending lines go first when it does not fit.
void addPending(const char* text, std::size_t length) {
  if (gPendingLength + length > kPendingSize) flushPending();
  std::memcpy(gPending + gPendingLength, text, length);
  gPendingLength += length;
}

}  // namespace

#ifdef _WIN32

class ConsoleLog::LineHold {
 public:
  explicit LineHold(ConsoleLog& log) : lock_(log.lock_.get()) {
    EnterCriticalSection(lock_);
  }
  ~LineHold() { LeaveCriticalSection(lock_); }
  LineHold(const LineHold&) = delete;
  LineHold& operator=(const LineHold&) = delete;

 private:
  CRITICAL_SECTION* lock_;
};

ConsoleLog::ConsoleLog() : lock_(std::make_unique<CRITICAL_SECTION>()) {
  InitializeCriticalSection(lock_.get());
}

ConsoleLog::~ConsoleLog() {
  flushPending();
  DeleteCriticalSection(lock_.get());
}

void ConsoleLog::enable() { InterlockedIncrement(&enableCount_); }

void ConsoleLog::disable() {
  InterlockedDecrement(&enableCount_);
  LineHold hold(*this);
  flushPending();
}

bool ConsoleLog::isEnabled() const { return enableCount_ > 0; }

#else

class ConsoleLog::LineHold {
 public:
  explicit LineHold(ConsoleLog& log) : hold_(log.lock_) {}

 private:
  std::lock_guard<std::mutex> hold_;
};

ConsoleLog::ConsoleLog() = default;

ConsoleLog::~ConsoleLog() { flushPending(); }

void ConsoleLog::enable() { ++enableCount_; }

void ConsoleLog::disable() {
  --enableCount_;
  LineHold hold(*this);
  flushPending();
}

bool ConsoleLog::isEnabled() const { return enableCount_.load() > 0; }

#endif

void ConsoleLog::print(const char* format, ...) {
  if (!isEnabled()) return;
  char text[kPrintLimit + 1];
  std::va_list args;
  va_start(args, format);
  int length = formattedLength(std::vsnprintf(text, sizeof text, format, args),
                               sizeof text);
  va_end(args);

  LineHold hold(*this);
  addPending(text, static_cast<std::size_t>(length));
}

namespace {

// The line printField writes, in `line`.
void formatField(std::string& line, std::string_view label,
                 std::string_view value) {
  line.assign(label);
  // Every byte shows as one character or more, so bytes past the limit
  // (and the one after it, which decides how a byte at the limit shows)
  // could only be cut off again.
  appendSafeConsoleText(line, value.substr(0, ConsoleLog::kPrintLimit + 1));
  line += '\n';
  if (line.size() > static_cast<std::size_t>(ConsoleLog::kPrintLimit)) {
    line.resize(ConsoleLog::kPrintLimit);
  }
}

}  // namespace

void ConsoleLog::printField(std::string_view label, std::string_view value) {
  const Field field{label, value};
  printFields({&field, 1});
}

void ConsoleLog::printFields(std::span<const Field> fields) {
  if (!isEnabled()) return;
  LineHold hold(*this);
  for (const Field& field : fields) {
    formatField(line_, field.label, field.value);
    addPending(line_.data(), line_.size());
  }
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

  LineHold hold(*this);
  writeReport(line, length);
}

void ConsoleLog::reportField(std::string_view label, std::string_view value) {
  if (!isEnabled()) return;
  LineHold hold(*this);
  // The stamp prefix goes in front once the message is known.
  line_.assign(kStampPrefixLength, ' ');
  line_ += label;
  appendSafeConsoleText(line_, value.substr(0, kReportLimit + 1));
  const std::size_t limit = kStampPrefixLength + kReportLimit;
  if (line_.size() > limit) line_.resize(limit);
  const int length = static_cast<int>(line_.size()) - kStampPrefixLength;
  line_ += '\n';
  writeReport(line_.data(), length);
}

// `line` holds room for the stamp prefix, then `length` message characters
// and room for one more.
void ConsoleLog::writeReport(char* line, int length) {
  const std::string& stamp = localStamp();
  line[0] = '[';
  // The stamp goes into a counted line, not a C string: the line's length
  // is passed on, and no terminating zero is wanted after the stamp.
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
  std::memcpy(line + 1, stamp.data(), stamp.size());
  line[kStampPrefixLength - 2] = ']';
  line[kStampPrefixLength - 1] = ' ';
  line[kStampPrefixLength + length] = '\n';
  addPending(line, std::size_t{kStampPrefixLength} +
                       static_cast<std::size_t>(length) + 1);
  // Someone watching a terminal sees each file as it is begun. Redirected
  // output is written when the pending lines fill up and when the writer is
  // disabled, like any buffered standard output: on a folder of small
  // messages one write per message is a noticeable share of the run.
  static const bool isInteractive = isStandardOutputTerminal();
  if (isInteractive) flushPending();
}

std::string safeConsoleText(std::string_view text) {
  std::string safe;
  appendSafeConsoleText(safe, text);
  return safe;
}

void appendSafeConsoleText(std::string& safe, std::string_view text) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  // The bytes that pass as they are: all but the controls, and C2, which
  // may begin a two-byte control.
  static constexpr auto kPasses = [] {
    std::array<bool, 256> passes{};
    for (int octet = 0; octet < 256; ++octet) {
      passes[octet] =
          (octet >= 0x20 || octet == '\t') && octet != 0x7F && octet != 0xC2;
    }
    return passes;
  }();
  safe.reserve(safe.size() + text.size());
  auto escape = [&safe](unsigned char octet) {
    const char escaped[] = {'\\', 'x', kHexDigits[octet >> 4],
                            kHexDigits[octet & 0xF]};
    safe.append(escaped, sizeof escaped);
  };
  std::size_t i = 0;
  while (i < text.size()) {
    // The bytes up to the next one that needs a look go in at once.
    std::size_t end = i;
    while (end < text.size() && kPasses[static_cast<unsigned char>(text[end])])
      ++end;
    safe.append(text.data() + i, end - i);
    if (end == text.size()) break;
    i = end;
    const auto octet = static_cast<unsigned char>(text[i]);
    if (octet != 0xC2) {
      escape(octet);
    } else if (i + 1 < text.size() &&
               (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
      escape(octet);
      escape(static_cast<unsigned char>(text[++i]));
    } else {
      safe += text[i];
    }
    ++i;
  }
}

const std::string& localStamp() {
  // thread_local: the text outlives the call (callers keep the reference)
  // and is formatted again only in a later second; each thread has its own.
  thread_local std::time_t formattedAt = -1;
  thread_local std::string stamp;
  const std::time_t second = std::time(nullptr);
  if (second != formattedAt) {
    std::tm now = currentLocalTime();
    char text[32];
    std::size_t length =
        std::strftime(text, sizeof text, "%m/%d/%y %H:%M:%S", &now);
    stamp.assign(text, length);
    formattedAt = second;
  }
  return stamp;
}
