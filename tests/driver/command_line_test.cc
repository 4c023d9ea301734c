// Runs the real executable in a scratch directory, with standard input from
// /dev/null, and checks its console lines, output file and exit status.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using Args = std::vector<std::string>;

struct ProgramRun {
  std::string banner;   // everything up to and including the usage line
  std::string console;  // the rest, stamps replaced by "[stamp]"
  int status = -1;
};

ProgramRun runMailvane(const ScratchDir& dir, const Args& args) {
  auto quoted = [](const std::string& arg) {
    return "'" + std::regex_replace(arg, std::regex("'"), "'\\''") + "'";
  };
  std::string command = "cd " + quoted(dir.path()) + " && " + MAILVANE_EXE;
  for (const std::string& arg : args) command += " " + quoted(arg);
  std::FILE* pipe = popen((command + " </dev/null 2>&1").c_str(), "r");
  std::string output;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    output.append(chunk, n);
  }
  int status = pclose(pipe);
  const std::string usage = "-out filename [-append]\n\n";
  std::size_t end = output.find(usage);
  end = end == std::string::npos ? 0 : end + usage.size();
  return {output.substr(0, end),
          std::regex_replace(
              output.substr(end),
              std::regex(R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] )"), "[stamp] "),
          WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// The console lines sorted: directory order is the listing's own.
std::vector<std::string> sortedLines(const ProgramRun& run) {
  std::istringstream in(run.console);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const char kAutoReply[] =
    "Subject: Auto-Response: say \"hi\"\r\nReturn-Path: <a@example.com>\r\n\r\n"
    "I am away.\r\n";

TEST(CommandLineTest, UnusableOptionsGetTheUsageLineOnlyAndExitWithTwo) {
  const std::vector<std::pair<const char*, Args>> cases = {
      {"no arguments", {}},
      {"no output file", {"-eml", "a.eml"}},
      {"value missing at the end", {"-out", "r.csv", "-eml"}},
      {"key wait still comes", {"-waitexit"}},
  };
  for (const auto& [name, args] : cases) {
    SCOPED_TRACE(name);
    ScratchDir dir;
    dir.write("a.eml", kAutoReply);
    ProgramRun run = runMailvane(dir, args);
    EXPECT_TRUE(std::regex_match(
        run.banner,
        std::regex("Mailvane 1\\.1 build 15\nCopyright \\(c\\) 2014-\\d\\d The "
                   "Mailvane authors, https://mailvane\\.example\\.org\n\n"
                   "Usage: Mailvane\\.exe \\[-eml filename \\| -dir dirpath\\] "
                   "-out filename \\[-append\\]\n\n")))
        << "got banner:\n"
        << run.banner;
    EXPECT_EQ(run.console,
              args == Args{"-waitexit"} ? "\nPress any key to exit.\n" : "");
    EXPECT_EQ(run.status, 2);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "r.csv"));
  }
}

TEST(CommandLineTest, OptionsChooseTheFilesWalked) {
  const std::string deep = std::string(200, 'd') + "/" + std::string(200, 'e');
  const struct {
    const char* name;
    Args args;
    std::vector<std::string> want;
  } cases[] = {
      {"dir after eml wins", {"-eml", "a.eml", "-dir", "mail"}, {"mail/b.eml"}},
      {"eml after dir wins", {"-dir", "mail", "-eml", "a.eml"}, {"a.eml"}},
      {"options ignore case", {"-EML", "a.eml", "-Out", "r.csv"}, {"a.eml"}},
      {"dir with trailing slash", {"-dir", "mail/"}, {"mail/b.eml"}},
      {"wildcard in the current directory",
       {"-eml", "*.eml"},
       {"a.eml", "c.eml"}},
      {"question mark in a subdirectory",
       {"-eml", "mail/?.eml"},
       {"mail/b.eml"}},
      {"path over 260 characters", {"-dir", deep}, {deep + "/f.eml"}},
      {"eml naming a directory", {"-eml", "mail"}, {}},
      {"missing file", {"-eml", "none.eml"}, {}},
      {"missing directory", {"-dir", "none"}, {}},
      {"dot file named", {"-eml", "mail/.hidden.eml"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    for (const std::string& name :
         Args{"a.eml", "c.eml", "mail/b.eml", "mail/.hidden.eml",
              "mail/sub/d.eml", deep + "/f.eml"}) {
      std::filesystem::create_directories((dir.path() / name).parent_path());
      dir.write(name, "");
    }
    Args args = c.args;
    if (std::find(args.begin(), args.end(), "-Out") == args.end()) {
      args.insert(args.end(), {"-out", "r.csv"});
    }
    std::vector<std::string> want;
    for (const std::string& path : c.want)
      want.push_back("[stamp] Parsing eml " + path);
    if (want.empty()) want.push_back("[stamp] Eml file(-s) not found.");
    ProgramRun run = runMailvane(dir, args);
    std::vector<std::string> got = sortedLines(run);
    std::erase_if(got, [](const std::string& line) { return line[0] == ' '; });
    EXPECT_EQ(got, want) << "got console:\n" << run.console;
    EXPECT_EQ(run.status, 0);
  }
}

TEST(CommandLineTest, AutoReplyRowReplacesOldRowsOrFollowsThemWithAppend) {
  ScratchDir dir;
  dir.write("r.csv", "old row\r\n");
  dir.write("a.eml", kAutoReply);
  ProgramRun run = runMailvane(dir, {"-eml", "a.eml", "-out", "r.csv"});
  EXPECT_EQ(
      run.console,
      "[stamp] Parsing eml a.eml\n  Bounce?: no\n  FBL?: no\n"
      "  Autoresponse?: yes\n  Subject: Auto-Response: say \"hi\"\n"
      "  Action: transient\n  Status: 4.3.2\n  Recipient: a@example.com\n");
  std::string row = readFile(dir.path() / "r.csv");
  EXPECT_TRUE(std::regex_match(
      row, std::regex("\"\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\",\"a.eml\","
                      "\"transient\",\"4.3.2\",\"a@example.com\","
                      "\"Auto-Response: say \"\"hi\"\"\"\r\n")))
      << "got: " << row;
  runMailvane(dir, {"-eml", "a.eml", "-out", "r.csv", "-append"});
  std::string rows = readFile(dir.path() / "r.csv");
  EXPECT_TRUE(rows.starts_with(row) && rows.size() == 2 * row.size())
      << "got: " << rows;
}

TEST(CommandLineTest, UnopenableOutputLeavesInputUnreadAndExitsWithOne) {
  ScratchDir dir;
  dir.write("a.eml", kAutoReply);
  dir.write("held.csv", "old row\r\n");
  std::filesystem::create_directory(dir.path() / "sub");
  // Another process holding the lock is what a second run would see.
  int held = open((dir.path() / "held.csv").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  const std::pair<std::string, int> cases[] = {
      {"held.csv", EWOULDBLOCK}, {"sub", EISDIR}, {"none/r.csv", ENOENT}};
  for (const auto& [out, error] : cases) {
    SCOPED_TRACE(out);
    ProgramRun run = runMailvane(dir, {"-eml", "a.eml", "-out", out});
    EXPECT_EQ(run.console, "[stamp] Unable to open output file " + out +
                               " (error " + std::to_string(error) + ")\n");
    EXPECT_EQ(run.status, 1);
  }
  close(held);
  EXPECT_EQ(readFile(dir.path() / "held.csv"), "old row\r\n");
}

TEST(CommandLineTest, UnreadableInputIsReportedAndTheWalkGoesOn) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "mail");
  dir.write("mail/a.eml", kAutoReply);
  dir.write("mail/locked.eml", kAutoReply);
  chmod((dir.path() / "mail/locked.eml").c_str(), 0);
  ASSERT_EQ(mkfifo((dir.path() / "mail/fifo").c_str(), 0600), 0);  // never read
  dir.write("mail/empty.eml", "");
  dir.write("mail/bom.eml", "\xEF\xBB\xBF");
  dir.write("mail/nul.eml", std::string("Subject: a\0b\r\n\r\n\0\0", 18));
  ProgramRun run = runMailvane(dir, {"-dir", "mail", "-out", "mail/r.csv"});
  std::vector<std::string> lines = sortedLines(run);
  std::vector<std::string> unreadable = {"fifo", "r.csv"};  // r.csv: the output
  if (geteuid() != 0) unreadable.push_back("locked.eml");   // root reads it
  for (const std::string& name : unreadable) {
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "[stamp] Unable to read eml from mail/" + name),
              1)
        << name;
  }
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "  FBL?: no"),
            7 - static_cast<long>(unreadable.size()))
      << "got console:\n"
      << run.console;
  EXPECT_EQ(
      std::count(lines.begin(), lines.end(), "  Recipient: a@example.com"),
      unreadable.size() == 2 ? 2 : 1);
  EXPECT_EQ(run.status, 0);
}

}  // namespace
