// A run killed in the middle leaves only whole rows in the output file, and
// with -append the content from before the run stays byte for byte.
//
// Two ways in. A SIGKILL from outside, a little after the file has grown past
// a point, over a directory of bounces that give two rows each. And, where
// strace is installed, a SIGKILL delivered exactly as the program enters one
// of its write calls, for every write call of a smaller run in turn: that
// shows the file never holds part of a message's rows between two calls,
// also for rows longer than a stdio buffer. (Within one write call Linux may
// stop at a page boundary when the kill arrives during the copy; no order of
// calls can close that window of microseconds, so the outside kill accepts a
// last row cut exactly where the file ends on a page boundary, and nothing
// else.)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "test_util.h"

extern char** environ;

namespace {

std::uintmax_t sizeOf(const std::filesystem::path& path) {
  std::error_code error;
  std::uintmax_t size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

// Writes `count` bounces that each list two failed recipients; every fifth
// has a subject of 6000 bytes, so its rows are longer than a stdio buffer.
void writeMessages(const std::filesystem::path& dir, int count) {
  std::filesystem::create_directory(dir);
  for (int i = 0; i < count; ++i) {
    std::string subject = "Mail delivery failed " + std::to_string(i);
    if (i % 5 == 0) subject += std::string(6000, 'x');
    std::ofstream(dir / ("m" + std::to_string(i) + ".eml"), std::ios::binary)
        << "From: MAILER-DAEMON@example.org\r\nSubject: " << subject
        << "\r\nX-failed-recipients: a" << i << "@example.org, b" << i
        << "@example.org\r\n\r\n550 5.1.1 user unknown\r\n";
  }
}

// This process's environment, with leak checking of AddressSanitizer builds
// turned off: it cannot run under ptrace, which strace uses.
std::vector<std::string> environmentForStrace() {
  std::vector<std::string> environment;
  std::string asanOptions = "ASAN_OPTIONS=detect_leaks=0";
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text = *entry;
    if (text.starts_with("ASAN_OPTIONS=")) {
      asanOptions = std::string(text) + ":detect_leaks=0";
    } else {
      environment.emplace_back(text);
    }
  }
  environment.push_back(asanOptions);
  return environment;
}

// Starts `argv` with standard input on /dev/null, standard output on
// `console` (and standard error too when `isQuiet`) and the environment
// `environment`, or this process's when that is empty; returns the process
// id, or -1.
pid_t start(std::vector<std::string> argv, bool isQuiet,
            std::vector<std::string> environment = {},
            const char* console = "/dev/null") {
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, console,
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (isQuiet) {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char*> variables;
  for (std::string& variable : environment)
    variables.push_back(variable.data());
  variables.push_back(nullptr);
  pid_t pid = -1;
  int error =
      posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(),
                   environment.empty() ? environ : variables.data());
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

int waitFor(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

// Kills the run 5 ms after `out` has grown past `bytes` bytes; false when
// the run ended by itself first.
bool killPast(pid_t pid, const std::filesystem::path& out,
              std::uintmax_t bytes) {
  for (;;) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return false;
    if (sizeOf(out) > bytes) break;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(pid, SIGKILL);
  int status = waitFor(pid);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Whether `text` is nothing but whole rows: six quoted fields (the values
// here hold no quotes), CRLF at the end of each. `count` gets the rows.
bool isWholeRows(const std::string& text, int& count) {
  count = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    for (int field = 0; field < 6; ++field) {
      if (at >= text.size() || text[at] != '"') return false;
      std::size_t close = text.find('"', at + 1);
      if (close == std::string::npos) return false;
      at = close + 1;
      const char* separator = field < 5 ? "," : "\r\n";
      if (text.compare(at, std::strlen(separator), separator) != 0) {
        return false;
      }
      at += std::strlen(separator);
    }
    ++count;
  }
  return true;
}

// Earlier content, as a finished run leaves it.
const char kEarlier[] =
    "\"01/02/03 04:05:06\",\"old.eml\",\"failed\",\"5.1.1\",\"o@example.org\","
    "\"old\"\r\n";

// The kernel copies a write page by page, and a kill that lands during the
// copy may end the write at a page boundary of the file.
constexpr std::size_t kPageSize = 4096;

// Checks `out` after an interrupted run: `prefix` first, then whole rows
// only. With `isPageCutAllowed`, the last row may be cut where the file ends
// on a page boundary (the window no order of calls can close). Returns the
// number of whole rows.
int expectPrefixThenWholeRows(const std::filesystem::path& out,
                              const std::string& prefix,
                              bool isPageCutAllowed = false) {
  std::string text = readFile(out);
  if (text.compare(0, prefix.size(), prefix) != 0) {
    ADD_FAILURE() << "content from before the run changed";
    return 0;
  }
  std::string rowsText = text.substr(prefix.size());
  int rows = 0;
  if (isWholeRows(rowsText, rows)) return rows;
  if (isPageCutAllowed && text.size() % kPageSize == 0) {
    std::size_t lastEnd = rowsText.rfind("\r\n");
    std::size_t kept = lastEnd == std::string::npos ? 0 : lastEnd + 2;
    if (isWholeRows(rowsText.substr(0, kept), rows) &&
        rowsText.compare(kept, 1, "\"") == 0) {
      return rows;
    }
  }
  ADD_FAILURE() << "a partial row after " << rows << " whole rows";
  return rows;
}

TEST(InterruptedRunTest, KilledRunLeavesOnlyWholeRowsAndEarlierContentIntact) {
  ScratchDir dir;
  const std::filesystem::path mail = dir.path() / "mail";
  const std::filesystem::path out = dir.path() / "out.csv";
  writeMessages(mail, 4000);

  struct Case {
    const char* name;
    bool isAppend;
    std::uintmax_t killAfter;  // bytes of new rows
  };
  const Case cases[] = {
      {"truncating, at the first row", false, 0},
      {"truncating, later", false, 150000},
      {"appending, at the first row", true, 0},
      {"appending, later", true, 150000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string prefix = c.isAppend ? kEarlier : "";
    // Without -append the file starts out missing, so that its size tells
    // the new rows alone.
    std::filesystem::remove(out);
    if (c.isAppend) std::ofstream(out, std::ios::binary) << kEarlier;
    std::vector<std::string> argv = {MAILVANE_EXE, "-dir", mail.string(),
                                     "-out", out.string()};
    if (c.isAppend) argv.push_back("-append");
    pid_t pid = start(argv, false);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(killPast(pid, out, prefix.size() + c.killAfter))
        << "the run ended before it could be killed";
    EXPECT_GT(expectPrefixThenWholeRows(out, prefix, true), 0);
  }
}

// Ctrl+C or SIGTERM ends the run after the message in hand, with its rows
// whole and the console lines of every message whose rows are in the file
// written out, and the status a shell expects; a wait for a FIFO's writer
// ends too.
TEST(InterruptedRunTest, StopRequestEndsTheRunAfterTheMessageInHand) {
  ScratchDir dir;
  const std::filesystem::path mail = dir.path() / "mail";
  const std::filesystem::path out = dir.path() / "out.csv";
  const std::filesystem::path console = dir.path() / "console.txt";
  const std::filesystem::path fifo = dir.path() / "fifo";
  writeMessages(mail, 4000);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // no writer ever comes
  const struct {
    const char* name;
    int signal;
    bool isWaiting;
  } cases[] = {
      {"Ctrl+C in a folder walk", SIGINT, false},
      {"SIGTERM in a folder walk", SIGTERM, false},
      {"Ctrl+C while waiting for a FIFO's writer", SIGINT, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(out);
    std::vector<std::string> argv = {MAILVANE_EXE, "-dir", mail.string(),
                                     "-out", out.string()};
    if (c.isWaiting) {
      argv = {MAILVANE_EXE,  "-eml", (mail / "m1.eml").string(),
              fifo.string(), "-out", out.string()};
    }
    pid_t pid = start(argv, false, {}, console.c_str());
    ASSERT_GT(pid, 0);
    for (int status; sizeOf(out) < (c.isWaiting ? 1 : 100000);) {
      ASSERT_NE(waitpid(pid, &status, WNOHANG), pid) << "ended by itself";
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // The FIFO's open is entered soon after the first file's rows.
    if (c.isWaiting) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(pid, c.signal);
    const int status = waitFor(pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + c.signal);
    const int rows = expectPrefixThenWholeRows(out, "");
    const std::string lines = readFile(console);
    std::size_t shown = 0;
    for (std::size_t at = 0;
         (at = lines.find("  Recipient: ", at)) != std::string::npos; ++at) {
      ++shown;
    }
    EXPECT_EQ(shown, static_cast<std::size_t>(rows));
    if (c.isWaiting) EXPECT_EQ(rows, 2);
    EXPECT_TRUE(lines.ends_with("@example.org\n")) << "ends short";
  }
}

// The index (1-based, among all write calls of the run) of every write to
// the output file, taken from an strace log of a whole run.
std::vector<int> outputWrites(const std::string& log, int outputFd) {
  std::vector<int> indices;
  std::istringstream in(log);
  int index = 0;
  const std::string call = "write(" + std::to_string(outputFd) + ",";
  for (std::string line; std::getline(in, line);) {
    if (line.find("write(") == std::string::npos) continue;
    ++index;
    if (line.find(call) != std::string::npos) indices.push_back(index);
  }
  return indices;
}

TEST(InterruptedRunTest, KillAtAnyWriteLeavesOnlyWholeMessagesRows) {
  if (std::system("strace -V >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace is not installed";
  }
  ScratchDir dir;
  const std::filesystem::path mail = dir.path() / "mail";
  const std::filesystem::path out = dir.path() / "out.csv";
  const std::filesystem::path log = dir.path() / "strace.log";
  writeMessages(mail, 6);
  const std::vector<std::string> run = {
      MAILVANE_EXE, "-dir", mail.string(), "-out", out.string(), "-append"};

  // A whole run first, to learn which write calls go to the output file
  // (the descriptor its open returned).
  std::vector<std::string> argv = {"strace", "-e", "trace=write,openat", "-o",
                                   log.string()};
  argv.insert(argv.end(), run.begin(), run.end());
  const std::vector<std::string> environment = environmentForStrace();
  ASSERT_EQ(waitFor(start(argv, true, environment)), 0)
      << "the traced run failed";
  std::string trace = readFile(log);
  std::size_t opened = trace.find(out.string());
  ASSERT_NE(opened, std::string::npos);
  int outputFd = std::atoi(trace.c_str() + trace.find("= ", opened) + 2);
  std::vector<int> writes = outputWrites(trace, outputFd);
  // One write call for each message, which has two rows.
  ASSERT_EQ(writes.size(), 6u);

  // Then one run for each of those write calls, killed as it enters it: the
  // rows of the messages written before it are in the file, whole, and
  // nothing else.
  for (std::size_t message = 0; message < writes.size(); ++message) {
    const int index = writes[message];
    SCOPED_TRACE("killed at write call " + std::to_string(index));
    std::ofstream(out, std::ios::binary) << kEarlier;
    argv = {"strace",
            "-o",
            "/dev/null",
            "-e",
            "trace=write",
            "-e",
            "inject=write:signal=KILL:when=" + std::to_string(index)};
    argv.insert(argv.end(), run.begin(), run.end());
    pid_t pid = start(argv, true, environment);
    ASSERT_GT(pid, 0);
    waitFor(pid);
    EXPECT_EQ(expectPrefixThenWholeRows(out, kEarlier),
              2 * static_cast<int>(message));
  }
}

}  // namespace
