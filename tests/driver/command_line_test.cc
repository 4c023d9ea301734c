// Runs the real executable in a scratch directory, with standard input from
// the null device, and checks its console lines, output file and exit
// status. The same cases run on POSIX systems and on Windows, where the
// directory separator the program adds is "\\" and files are held with
// sharing modes rather than locks.

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "message/mailbox_reader.h"
#include "test_util.h"

namespace {

using Args = std::vector<std::string>;

#ifdef _WIN32
const std::string kSeparator = "\\";  // appended to a -dir value
#else
const std::string kSeparator = "/";
#endif

// Keeps a file open for this process so that no other can open it: the
// lock a second run of the program would meet.
class HeldFile {
 public:
  explicit HeldFile(const std::filesystem::path& path) {
#ifdef _WIN32
    handle_ = CreateFileA(path.string().c_str(), GENERIC_READ, 0, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    isHeld_ = handle_ != INVALID_HANDLE_VALUE;
#else
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    isHeld_ = fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0;
#endif
  }
  ~HeldFile() {
#ifdef _WIN32
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
#else
    if (fd_ >= 0) close(fd_);
#endif
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  bool isHeld() const { return isHeld_; }

 private:
#ifdef _WIN32
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
  int fd_ = -1;
#endif
  bool isHeld_ = false;
};

// The console lines sorted: directory order is the listing's own.
std::vector<std::string> sortedLines(const MailvaneRun& run) {
  std::istringstream in(run.console);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
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
    MailvaneRun run = runMailvane(dir.path(), args);
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

// `parts` joined by the separator the program puts between the folders it
// walks.
std::string walked(std::initializer_list<const char*> parts) {
  std::string path;
  for (const char* part : parts)
    path += (path.empty() ? "" : kSeparator) + part;
  return path;
}

// The files of OptionsChooseTheFilesWalked: plain ones, a folder tree and a
// Maildir as a mail server leaves it, with a Maildir++ folder.
const char* const kWalkedFiles[] = {"a.eml",
                                    "c.eml",
                                    "mail/b.eml",
                                    "mail/.hidden.eml",
                                    "mail/sub/d.eml",
                                    "mail/.cache/e.eml",
                                    "box/dovecot.index.log",
                                    "box/new/n1",
                                    "box/cur/c1",
                                    "box/tmp/t1",
                                    "box/.Bounces/new/m1",
                                    "box/.Bounces/cur/m2",
                                    "box/.notes/z",
                                    "box/sub/s1"};

TEST(CommandLineTest, OptionsChooseTheFilesWalked) {
  const std::string deep = std::string(200, 'd') + "/" + std::string(200, 'e');
  const struct {
    const char* name;
    Args args;
    std::vector<std::string> want;
  } cases[] = {
      {"dir after eml wins",
       {"-eml", "a.eml", "-dir", "mail"},
       {"mail" + kSeparator + "b.eml"}},
      {"eml after dir wins", {"-dir", "mail", "-eml", "a.eml"}, {"a.eml"}},
      {"options ignore case", {"-EML", "a.eml", "-Out", "r.csv"}, {"a.eml"}},
      {"dir with trailing slash", {"-dir", "mail/"}, {"mail/b.eml"}},
      {"wildcard in the current directory",
       {"-eml", "*.eml"},
       {"a.eml", "c.eml"}},
      {"question mark in a subdirectory",
       {"-eml", "mail/?.eml"},
       {"mail/b.eml"}},
#ifdef _WIN32
      {"dir with trailing backslash", {"-dir", "mail\\"}, {"mail\\b.eml"}},
      {"backslash pattern", {"-eml", "mail\\?.eml"}, {"mail\\b.eml"}},
      // The system's matching ignores case.
      {"pattern in another case", {"-eml", "MAIL\\B.EML"}, {"MAIL\\b.eml"}},
#else
      {"path over 260 characters", {"-dir", deep}, {deep + "/f.eml"}},
#endif
      {"Maildir: new then cur, not tmp nor the index",
       {"-dir", "box"},
       {walked({"box", "new", "n1"}), walked({"box", "cur", "c1"})}},
      {"Maildir tree with its Maildir++ folder",
       {"-dir", "box", "-Recursive"},
       {walked({"box", "new", "n1"}), walked({"box", "cur", "c1"}),
        walked({"box", ".Bounces", "new", "m1"}),
        walked({"box", ".Bounces", "cur", "m2"}),
        walked({"box", "sub", "s1"})}},
      {"tree without dot folders",
       {"-dir", "mail", "-recursive"},
       {walked({"mail", "b.eml"}), walked({"mail", "sub", "d.eml"})}},
#ifndef _WIN32
      {"names the shell expanded",
       {"-eml", "c.eml", "mail/b.eml", "a.eml"},
       {"a.eml", "c.eml", "mail/b.eml"}},
      {"names end at an unknown option",
       {"-eml", "c.eml", "-x", "a.eml"},
       {"c.eml"}},
      {"dir after the names wins",
       {"-eml", "a.eml", "c.eml", "-dir", "mail"},
       {"mail/b.eml"}},
#endif
      {"eml naming a directory", {"-eml", "mail"}, {}},
      {"missing file", {"-eml", "none.eml"}, {}},
      {"missing directory", {"-dir", "none"}, {}},
      {"dot file named", {"-eml", "mail/.hidden.eml"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    Args files(std::begin(kWalkedFiles), std::end(kWalkedFiles));
#ifndef _WIN32
    // Windows paths stop at 260 characters.
    files.push_back(deep + "/f.eml");
#endif
    for (const std::string& name : files) {
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
    std::sort(want.begin(), want.end());
    MailvaneRun run = runMailvane(dir.path(), args);
    std::vector<std::string> got = sortedLines(run);
    std::erase_if(got, [](const std::string& line) { return line[0] == ' '; });
    EXPECT_EQ(got, want) << "got console:\n" << run.console;
    // EX_NOINPUT when nothing was found.
    EXPECT_EQ(run.status, c.want.empty() ? 66 : 0);
  }
}

// Column 2 of each row in `csv`, in the order of the rows.
std::vector<std::string> rowNames(const std::string& csv) {
  std::vector<std::string> names;
  for (std::size_t at = csv.find("\",\""); at != std::string::npos;
       at = csv.find("\",\"", csv.find("\r\n", at))) {
    names.push_back(csv.substr(at + 3, csv.find('"', at + 3) - at - 3));
  }
  return names;
}

TEST(CommandLineTest, RowsOfMaildirsAndTreesNameTheFileOrItsPlaceInTheTree) {
  ScratchDir dir;
  for (const char* name :
       {"box/new/n1", "box/cur/c1", "box/tmp/t1", "box/.Bounces/new/m1",
        "box/.Bounces/cur/m2", "tree/2026-11/b.eml"}) {
    std::filesystem::create_directories((dir.path() / name).parent_path());
    dir.write(name, kAutoReply);
  }
#ifndef _WIN32
  // A link to a folder is not followed: the Maildir is not read twice.
  std::filesystem::create_directory_symlink("../box", dir.path() / "tree/box");
#endif
  const struct {
    const char* name;
    Args args;
    std::vector<std::string> want;  // in this order
  } cases[] = {
      {"Maildir: the file's own name, new first",
       {"-dir", "box"},
       {"n1", "c1"}},
      {"tree: the path below the folder",
       {"-dir", "tree", "-recursive"},
       {walked({"2026-11", "b.eml"})}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Args args = c.args;
    args.insert(args.end(), {"-out", "r.csv"});
    MailvaneRun run = runMailvane(dir.path(), args);
    EXPECT_EQ(rowNames(readFile(dir.path() / "r.csv")), c.want);
    EXPECT_EQ(run.status, 0);
  }
}

TEST(CommandLineTest, QuietRunPrintsOnlyFailuresAndASummary) {
  ScratchDir dir;
  dir.write("a.eml", kAutoReply);
  const struct {
    const char* name;
    Args args;
    const char* want;
    int status;
  } cases[] = {
      {"one message",
       {"-quiet", "-eml", "a.eml", "-out", "r.csv"},
       "[stamp] Read 1 messages from 1 files: 1 rows; 0 unreadable, 0 given "
       "up\n",
       0},
      {"nothing found",
       {"-eml", "none.eml", "-QUIET", "-out", "r.csv"},
       "[stamp] Eml file(-s) not found.\n[stamp] Read 0 messages from 0 "
       "files: 0 rows; 0 unreadable, 0 given up\n",
       66},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MailvaneRun run = runMailvane(dir.path(), c.args);
    // Standard error is in the output too: it got nothing.
    EXPECT_EQ(run.banner, "");
    EXPECT_EQ(run.console, c.want);
    EXPECT_EQ(run.status, c.status);
  }
  // Unusable options still get the usage line.
  MailvaneRun unusable = runMailvane(dir.path(), {"-quiet", "-eml", "a.eml"});
  EXPECT_NE(unusable.banner.find("Usage: "), std::string::npos);
  EXPECT_EQ(unusable.status, 2);
}

#ifndef _WIN32
TEST(CommandLineTest, QuietRunOnATerminalShowsItsProgressAndClearsIt) {
  if (std::system("command -v script >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "script (util-linux) is not installed";
  }
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "mail");
  dir.write("mail/a.eml", kAutoReply);
  dir.write("mail/b.eml", kAutoReply);
  // script gives the program a terminal for both of its outputs.
  ProgramOutput got = runProgramIn(
      dir.path(), "script",
      {"-qec", std::string(MAILVANE_EXE) + " -quiet -dir mail -out r.csv",
       "/dev/null"});
  // The first message moves it on while its file is in hand.
  const std::string shown = "Read 1 messages (0% of 2 files)";
  EXPECT_NE(got.output.find("\r" + shown), std::string::npos) << got.output;
  // Cleared before the summary.
  EXPECT_NE(got.output.find("\r" + std::string(shown.size(), ' ') + "\r["),
            std::string::npos)
      << got.output;
  EXPECT_NE(got.output.find("] Read 2 messages from 2 files: 2 rows"),
            std::string::npos);
  EXPECT_EQ(got.status, 0);
}
#endif

// The rows of `csv` with their stamps and file names masked, in order.
std::vector<std::string> rowValues(const std::string& csv) {
  std::vector<std::string> rows;
  std::size_t at = 0;
  for (std::string name : rowNames(csv)) {
    std::size_t start = csv.find("\",\"", at) + 3 + name.size();
    std::size_t end = csv.find("\r\n\"", start);
    end = end == std::string::npos ? csv.size() : end + 2;
    rows.push_back(csv.substr(start, end - start));
    at = end;
  }
  return rows;
}

// `text` cut where a mailbox reader must cut it, found on the whole text at
// once: before each From line that follows an empty line.
std::vector<std::string> splitByHand(const std::string& text) {
  std::vector<std::string> pieces(1);
  std::size_t start = 0;
  bool isAfterEmpty = false;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string_view line(text.data() + at, end - at);
    if (line.ends_with('\n')) line.remove_suffix(1);
    if (isAfterEmpty && line.size() <= kMaxFromLine && isMboxFromLine(line)) {
      pieces.back() = text.substr(start, at - start);
      pieces.emplace_back();
      start = at;
    }
    isAfterEmpty = line.empty() || line == "\r";
    at = end;
  }
  pieces.back() = text.substr(start);
  return pieces;
}

const char kFromLine[] = "From MAILER-DAEMON Thu Apr 29 23:34:45 2015\n";
const char kBounce[] =
    "From: MAILER-DAEMON@example.org\nSubject: Mail delivery failed\n"
    "X-failed-recipients: a@example.org, b@example.org\n\n"
    "550 5.1.1 user unknown\n";

TEST(CommandLineTest, MailboxIsReadMessageByMessageHoweverItIsNamed) {
  ScratchDir dir;
  // The second message quotes a mailbox: its inner From line follows no
  // empty line, so it starts nothing.
  const std::string messages[] = {
      kFromLine + std::string(kAutoReply) + "\n",
      kFromLine + std::string(kBounce) + "> quoted:\n" + kFromLine + "\n",
      kFromLine + std::string(kBounce)};
  std::filesystem::create_directories(dir.path() / "box");
  std::filesystem::create_directories(dir.path() / "pieces");
  std::string mailbox;
  for (int i = 0; i < 3; ++i) {
    mailbox += messages[i];
    dir.write("pieces/" + std::to_string(i + 1), messages[i]);
  }
  dir.write("box/bounces.mbox", mailbox);
  std::vector<std::string> want;
  for (const char* piece : {"pieces/1", "pieces/2", "pieces/3"}) {
    runMailvane(dir.path(), {"-eml", piece, "-out", "piece.csv"});
    for (const std::string& row : rowValues(readFile(dir.path() / "piece.csv")))
      want.push_back(row);
  }
  ASSERT_EQ(want.size(), 5u);
  const struct {
    const char* name;
    Args args;
    std::string shown;  // the path of the console's report lines
    std::string column;
  } cases[] = {
      {"named",
       {"-eml", "box/bounces.mbox"},
       "box/bounces.mbox",
       "bounces.mbox"},
      {"pattern", {"-eml", "box/*.mbox"}, "box/bounces.mbox", "bounces.mbox"},
      {"folder",
       {"-dir", "box"},
       walked({"box", "bounces.mbox"}),
       "bounces.mbox"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Args args = c.args;
    args.insert(args.end(), {"-out", "r.csv"});
    MailvaneRun run = runMailvane(dir.path(), args);
    const std::string rows = readFile(dir.path() / "r.csv");
    EXPECT_EQ(rowValues(rows), want);
    const std::string column = c.column;
    EXPECT_EQ(rowNames(rows), (std::vector<std::string>{
                                  column + "#1", column + "#2", column + "#2",
                                  column + "#3", column + "#3"}));
    for (const char* number : {"#1\n", "#2\n", "#3\n"}) {
      EXPECT_NE(run.console.find("[stamp] Parsing eml " + c.shown + number),
                std::string::npos)
          << run.console;
    }
  }
#ifndef _WIN32
  ProgramOutput piped = runProgramIn(
      dir.path(), "/bin/sh",
      {"-c", "cat box/bounces.mbox | \"$0\" -eml /dev/stdin -out r.csv",
       MAILVANE_EXE});
  EXPECT_EQ(rowValues(readFile(dir.path() / "r.csv")), want);
  EXPECT_NE(piped.output.find("] Parsing eml /dev/stdin#3\n"),
            std::string::npos);
  EXPECT_EQ(rowNames(readFile(dir.path() / "r.csv")).back(), "stdin#3");
#endif
  // One message, From line or not, keeps its plain name.
  runMailvane(dir.path(), {"-eml", "pieces/2", "-out", "r.csv"});
  EXPECT_EQ(rowNames(readFile(dir.path() / "r.csv")),
            (std::vector<std::string>{"2", "2"}));
}

// Every file of the development corpus after a From line, in one mailbox:
// its rows are those of the pieces it splits into, each run as a file.
TEST(CommandLineTest, CorpusMailboxGivesTheRowsOfItsPiecesReadAsFiles) {
  const auto corpus = std::filesystem::path(MAILVANE_SHARED_DIR) / "corpus";
  if (!std::filesystem::exists(corpus)) {
    GTEST_SKIP() << "no development corpus at " << corpus;
  }
  std::vector<std::filesystem::path> files;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(corpus)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::string mailbox;
  for (const auto& file : files) {
    std::string text = readFile(file);
    if (!text.ends_with('\n')) text += '\n';
    mailbox += kFromLine + text + "\n";
  }
  ScratchDir dir;
  dir.write("all.mbox", mailbox);
  std::filesystem::create_directory(dir.path() / "pieces");
  const std::vector<std::string> pieces = splitByHand(mailbox);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    dir.write("pieces/" + std::to_string(i + 1), pieces[i]);
  }
  // One run over the pieces; their rows put in the pieces' order.
  runMailvane(dir.path(), {"-quiet", "-dir", "pieces", "-out", "p.csv"});
  const std::string pieceRows = readFile(dir.path() / "p.csv");
  std::vector<std::pair<long, std::string>> numbered;
  const std::vector<std::string> pieceNames = rowNames(pieceRows);
  const std::vector<std::string> pieceValues = rowValues(pieceRows);
  for (std::size_t i = 0; i < pieceValues.size(); ++i) {
    numbered.emplace_back(std::stol(pieceNames[i]), pieceValues[i]);
  }
  std::stable_sort(
      numbered.begin(), numbered.end(),
      [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string want;
  for (const auto& [number, row] : numbered) {
    want += std::to_string(number) + ": " + row;
  }
  MailvaneRun run =
      runMailvane(dir.path(), {"-quiet", "-eml", "all.mbox", "-out", "r.csv"});
  const std::string rows = readFile(dir.path() / "r.csv");
  std::string got;
  const std::vector<std::string> names = rowNames(rows);
  const std::vector<std::string> values = rowValues(rows);
  for (std::size_t i = 0; i < values.size(); ++i) {
    got += names[i].substr(names[i].find('#') + 1) + ": " + values[i];
  }
  EXPECT_GE(pieces.size(), files.size());
  EXPECT_EQ(got, want);
  EXPECT_NE(run.console.find("Read " + std::to_string(pieces.size()) +
                             " messages from 1 files"),
            std::string::npos)
      << run.console;
}

TEST(CommandLineTest, NamesOutsideAsciiAreReadAndWrittenAsUtf8) {
  // Windows reads them through the ANSI calls only when the program's
  // manifest makes UTF-8 the ANSI code page.
  std::vector<std::string> names = {"未送達 メール.eml", "Unzustellbar ä.eml",
                                    "📬 bounce.eml"};
  const std::string bounce =
      readFile(MAILVANE_SOURCE_DIR "/examples/failed-recipients-header.eml");
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "mail");
  for (const std::string& name : names) {
    // Made from the wide form on Windows, whatever this process's code page.
    std::u8string wide(name.begin(), name.end());
    std::ofstream(dir.path() / "mail" / wide, std::ios::binary) << bounce;
  }
  MailvaneRun run = runMailvane(dir.path(), {"-dir", "mail", "-out", "r.csv"});
  const std::string parsing = "[stamp] Parsing eml mail" + kSeparator;
  std::vector<std::string> parsed;
  for (const std::string& line : sortedLines(run)) {
    if (line.starts_with(parsing))
      parsed.push_back(line.substr(parsing.size()));
  }
  // Column 2 follows the quoted stamp of 17 characters.
  std::vector<std::string> columns;
  std::istringstream rows(readFile(dir.path() / "r.csv"));
  for (std::string row; std::getline(rows, row);) {
    columns.push_back(row.substr(21, row.find("\",\"", 21) - 21));
  }
  std::sort(names.begin(), names.end());
  std::sort(columns.begin(), columns.end());
  EXPECT_EQ(parsed, names) << "got console:\n" << run.console;
  EXPECT_EQ(columns, names);
  EXPECT_EQ(run.console.find("Unable to read"), std::string::npos);
}

TEST(CommandLineTest, AutoReplyRowReplacesOldRowsOrFollowsThemWithAppend) {
  ScratchDir dir;
  dir.write("r.csv", "old row\r\n");
  dir.write("a.eml", kAutoReply);
  MailvaneRun run = runMailvane(dir.path(), {"-eml", "a.eml", "-out", "r.csv"});
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
  runMailvane(dir.path(), {"-eml", "a.eml", "-out", "r.csv", "-append"});
  std::string rows = readFile(dir.path() / "r.csv");
  EXPECT_TRUE(rows.starts_with(row) && rows.size() == 2 * row.size())
      << "got: " << rows;
}

TEST(CommandLineTest, ThoroughOptionInAnyCaseChangesOnlyThatRun) {
  ScratchDir dir;
  dir.write("b.eml",
            "From: MAILER-DAEMON@mx.example.net\nTo: jo@example.com\n\n"
            "Your message from jo@example.com to\nkim@example.org failed.\n");
  const auto recipientLine = [&](const Args& extra) {
    Args args = {"-eml", "b.eml", "-out", "r.csv"};
    args.insert(args.end(), extra.begin(), extra.end());
    const MailvaneRun run = runMailvane(dir.path(), args);
    EXPECT_EQ(run.status, 0);
    return run.console.substr(run.console.find("  Recipient: "));
  };
  EXPECT_EQ(recipientLine({}), "  Recipient: jo@example.com\n");
  EXPECT_EQ(recipientLine({"-Thorough"}), "  Recipient: kim@example.org\n");
}

const char kHeader[] =
    "\"Time\",\"File\",\"Action\",\"Status\",\"Recipient\",\"Subject\"";
// A row of an earlier run, without and with the kind column.
const char kEarlierRow[] =
    "\"01/02/26 "
    "03:04:05\",\"old.eml\",\"failed\",\"5.1.1\",\"old@example.org\","
    "\"Undelivered\"\r\n";
const char kEarlierKindRow[] =
    "\"01/02/26 "
    "03:04:05\",\"old.eml\",\"failed\",\"5.1.1\",\"old@example.org\","
    "\"Undelivered\",\"bounce\"\r\n";

TEST(CommandLineTest, HeaderStartsOnlyAFileThatIsEmptyOnceOpened) {
  const std::string header = std::string(kHeader) + "\r\n";
  const std::string kindHeader = std::string(kHeader) + ",\"Kind\"\r\n";
  const struct {
    const char* name;
    const char* before;  // the file before the run; null: none
    Args options;
    std::string want;  // what precedes the run's row
  } cases[] = {
      {"new file", nullptr, {"-header"}, header},
      {"truncated file", kEarlierRow, {"-header"}, header},
      {"empty file appended", "", {"-header", "-append"}, header},
      {"file with rows appended",
       kEarlierRow,
       {"-header", "-append"},
       kEarlierRow},
      {"header row appended", header.c_str(), {"-header", "-append"}, header},
      {"kind column named", nullptr, {"-HEADER", "-kind"}, kindHeader},
  };
  const std::regex row(
      "\"[^\"]+\",\"a\\.eml\",\"transient\",\"4\\.3\\.2\",\"a@example\\.com\","
      "\"Auto-Response: say \"\"hi\"\"\"(,\"auto-reply\")?\r\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    dir.write("a.eml", kAutoReply);
    if (c.before != nullptr) dir.write("r.csv", c.before);
    Args args = {"-eml", "a.eml", "-out", "r.csv"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    MailvaneRun run = runMailvane(dir.path(), args);
    EXPECT_EQ(run.status, 0);
    const std::string rows = readFile(dir.path() / "r.csv");
    ASSERT_TRUE(rows.starts_with(c.want)) << "got: " << rows;
    EXPECT_TRUE(std::regex_match(rows.substr(c.want.size()), row))
        << "got: " << rows;
  }
}

// The console report stays as it is; the rows gain a seventh column, the
// kind of message, named by the branch that made them.
TEST(CommandLineTest, KindColumnNamesTheBranchAndTheReportStays) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "mail");
  for (const char* name : {"abuse-report-arf.eml", "auto-response.eml",
                           "dsn-two-recipients.eml", "ordinary-message.eml"}) {
    dir.write(std::string("mail/") + name,
              readFile(std::filesystem::path(MAILVANE_SOURCE_DIR "/examples") /
                       name));
  }
  // Both a feedback report and an automatic reply.
  dir.write("mail/fbl-away.eml",
            "X-Loop: scomp\r\nSubject: I'm currently away until Monday\r\n"
            "\r\nbody\r\n");
  MailvaneRun plain =
      runMailvane(dir.path(), {"-dir", "mail", "-out", "plain.csv"});
  MailvaneRun kind =
      runMailvane(dir.path(), {"-dir", "mail", "-out", "kind.csv", "-kind"});
  EXPECT_EQ(kind.console, plain.console);
  EXPECT_EQ(kind.status, 0);

  // Each row less its stamp (the first 19 bytes) and, with -kind, less its
  // last field is the row of the plain run.
  std::istringstream plainRows(readFile(dir.path() / "plain.csv"));
  std::istringstream kindRows(readFile(dir.path() / "kind.csv"));
  std::vector<std::string> kinds;
  for (std::string plainRow, kindRow; std::getline(plainRows, plainRow);) {
    ASSERT_TRUE(std::getline(kindRows, kindRow));
    const std::size_t kindAt = kindRow.rfind(",\"");
    EXPECT_EQ(kindRow.substr(19, kindAt - 19),
              plainRow.substr(19, plainRow.size() - 20));
    const std::size_t nameAt = kindRow.find('"', 20) + 1;
    kinds.push_back(kindRow.substr(nameAt, kindRow.find('"', nameAt) - nameAt) +
                    " " + kindRow.substr(kindAt + 1));
  }
  std::sort(kinds.begin(), kinds.end());
  const std::vector<std::string> want = {
      "abuse-report-arf.eml \"feedback\"\r",
      "auto-response.eml \"auto-reply\"\r",
      "dsn-two-recipients.eml \"bounce\"\r",
      "dsn-two-recipients.eml \"bounce\"\r",
      "fbl-away.eml \"feedback\"\r",
  };
  EXPECT_EQ(kinds, want);
}

// Rows of six and seven columns in one file would make it unreadable to
// every CSV reader: such an -append is refused before any message is read,
// and the file stays as it was.
TEST(CommandLineTest, AppendOntoRowsOfAnotherWidthIsRefusedBeforeReading) {
  // A naive count of its first line would see six columns.
  const std::string brokenSubject =
      "\"01/02/26 "
      "03:04:05\",\"old.eml\",\"failed\",\"5.1.1\",\"old@example.org\","
      "\"Re: your order\r\nof May, \"\"garden\"\"\",\"bounce\"\r\n";
  const std::string kindHeader = std::string(kHeader) + ",\"Kind\"\r\n";
  const struct {
    const char* name;
    std::string before;
    Args options;
    int found;  // the file's columns; 0: the append goes ahead
    int want;
  } cases[] = {
      {"six columns appended with -kind", kEarlierRow, {"-kind"}, 6, 7},
      {"kind header appended without -kind",
       kindHeader + kEarlierKindRow,
       {"-header"},
       7,
       6},
      {"subject with a line break, without -kind", brokenSubject, {}, 7, 6},
      {"subject with a line break, with -kind", brokenSubject, {"-kind"}, 0, 7},
      // Text that is no rows of this program is appended to as before.
      {"other text", "not a csv file\n", {}, 0, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    dir.write("a.eml", kAutoReply);
    dir.write("r.csv", c.before);
    Args args = {"-eml", "a.eml", "-out", "r.csv", "-append"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    MailvaneRun run = runMailvane(dir.path(), args);
    const std::string rows = readFile(dir.path() / "r.csv");
    if (c.found == 0) {
      EXPECT_EQ(run.status, 0);
      EXPECT_TRUE(rows.starts_with(c.before) && rows.size() > c.before.size())
          << "got: " << rows;
      continue;
    }
    EXPECT_EQ(run.console,
              "[stamp] Unable to append to output file r.csv: its rows have " +
                  std::to_string(c.found) + " columns, this run's would have " +
                  std::to_string(c.want) + "\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(rows, c.before);
  }
}

TEST(CommandLineTest, UnopenableOutputLeavesInputUnreadAndTellsWhetherToRetry) {
  ScratchDir dir;
  dir.write("a.eml", kAutoReply);
  dir.write("held.csv", "old row\r\n");
  std::filesystem::create_directory(dir.path() / "sub");
  {
    // Another process holding the file is what a second run would see.
    HeldFile held(dir.path() / "held.csv");
    ASSERT_TRUE(held.isHeld());
    // Only the lock passes with time (status 75).
#ifdef _WIN32
    // The runtime's errno for sharing violations and for directories alike.
    const std::tuple<std::string, int, int> cases[] = {
        {"held.csv", EACCES, 75},
        {"sub", EACCES, 1},
        {"none/r.csv", ENOENT, 1}};
#else
    const std::tuple<std::string, int, int> cases[] = {
        {"held.csv", EWOULDBLOCK, 75},
        {"sub", EISDIR, 1},
        {"none/r.csv", ENOENT, 1}};
#endif
    for (const auto& [out, error, status] : cases) {
      SCOPED_TRACE(out);
      MailvaneRun run = runMailvane(dir.path(), {"-eml", "a.eml", "-out", out});
      EXPECT_EQ(run.console, "[stamp] Unable to open output file " + out +
                                 " (error " + std::to_string(error) + ")\n");
      EXPECT_EQ(run.status, status);
    }
  }
  EXPECT_EQ(readFile(dir.path() / "held.csv"), "old row\r\n");
}

#ifndef _WIN32
TEST(CommandLineTest, FailedWriteLeavesEarlierRowsStopsTheWalkAndTellsWhy) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "mail");
  // Three rows of over 400 bytes each, whichever file comes first.
  const std::string bounce =
      "From: MAILER-DAEMON@example.org\r\nSubject: Mail delivery failed " +
      std::string(400, 'x') +
      "\r\nX-failed-recipients: a@example.org, b@example.org, "
      "c@example.org\r\n\r\n550 5.1.1 user unknown\r\n";
  dir.write("mail/a.eml", bounce);
  dir.write("mail/b.eml", bounce);
  const std::string earlier =
      "\"01/02/26 "
      "03:04:05\",\"old.eml\",\"failed\",\"5.1.1\",\"old@example.org\","
      "\"old row\"\r\n";
  rlimit unlimited;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  const struct {
    const char* out;
    rlim_t fileSizeLimit;
    int error;
    int status;
    Args input;
  } cases[] = {
      {"/dev/full", unlimited.rlim_cur, ENOSPC, 75, {"-dir", "mail"}},
      // The limit cuts the first message's rows short.
      {"r.csv", 1024, EFBIG, 1, {"-dir", "mail"}},
      // The output's failure outranks a name that was not found.
      {"r.csv", 1024, EFBIG, 1, {"-eml", "none.eml", "mail/a.eml"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    dir.write("r.csv", earlier);
    // The program's processes inherit the limit; this one writes nothing
    // meanwhile.
    rlimit limited = unlimited;
    limited.rlim_cur = c.fileSizeLimit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    Args args = c.input;
    args.insert(args.end(), {"-out", c.out, "-append"});
    MailvaneRun run = runMailvane(dir.path(), args);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    std::vector<std::string> lines = sortedLines(run);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                              return line.starts_with("[stamp] Parsing eml");
                            }),
              1)
        << "got console:\n"
        << run.console;
    EXPECT_TRUE(run.console.ends_with("[stamp] Unable to write output file " +
                                      std::string(c.out) + " (error " +
                                      std::to_string(c.error) + ")\n"))
        << "got console:\n"
        << run.console;
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(readFile(dir.path() / "r.csv"), earlier);
  }
}
#endif

TEST(CommandLineTest, ControlBytesAreEscapedOnTheConsoleAndKeptInTheRow) {
  ScratchDir dir;
#ifdef _WIN32
  const std::string name = "a.eml";  // Windows names hold no control bytes
  const std::string shownName = name;
#else
  const std::string name = "a\x1B[2J.eml";
  const std::string shownName = "a\\x1B[2J.eml";
#endif
  // A retitling sequence, a UTF-8 C1 control (CSI) beside plain UTF-8, and
  // an encoded word that decodes to CR LF and a forged line.
  dir.write(name,
            "Subject: Auto-Response: \x1B]0;t\x07 \xC2\x9B\xC3\xA9\t"
            "=?utf-8?Q?x=0D=0A[forged]_line?=\r\n"
            "Return-Path: <a@example.com>\r\n\r\nI am away.\r\n");
  MailvaneRun run = runMailvane(dir.path(), {"-eml", name, "-out", "r.csv"});
  EXPECT_EQ(run.console,
            "[stamp] Parsing eml " + shownName +
                "\n  Bounce?: no\n  FBL?: no\n  Autoresponse?: yes\n"
                "  Subject: Auto-Response: \\x1B]0;t\\x07 "
                "\\xC2\\x9B\xC3\xA9\tx\\x0D\\x0A[forged] line\n"
                "  Action: transient\n  Status: 4.3.2\n"
                "  Recipient: a@example.com\n");
  std::string row = readFile(dir.path() / "r.csv");
  EXPECT_NE(row.find("\"" + name +
                     "\",\"transient\",\"4.3.2\",\"a@example.com\","
                     "\"Auto-Response: \x1B]0;t\x07 \xC2\x9B\xC3\xA9\t"
                     "x\r\n[forged] line\"\r\n"),
            std::string::npos)
      << "got: " << row;
}

TEST(CommandLineTest, UnreadableInputIsReportedAndTheWalkGoesOn) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "mail");
  dir.write("mail/a.eml", kAutoReply);
  dir.write("mail/locked.eml", kAutoReply);
  dir.write("mail/empty.eml", "");
  dir.write("mail/bom.eml", "\xEF\xBB\xBF");
  // Not "nul.eml": Windows takes NUL with any extension for its null device.
  dir.write("mail/zeros.eml", std::string("Subject: a\0b\r\n\r\n\0\0", 18));
  // r.csv is the output file, held by the run itself.
  std::vector<std::string> unreadable = {"r.csv"};
#ifdef _WIN32
  // A file another process holds without sharing cannot be read.
  HeldFile locked(dir.path() / "mail/locked.eml");
  ASSERT_TRUE(locked.isHeld());
  unreadable.push_back("locked.eml");
  const long files = 6;
#else
  chmod((dir.path() / "mail/locked.eml").c_str(), 0);
  ASSERT_EQ(mkfifo((dir.path() / "mail/fifo").c_str(), 0600), 0);  // never read
  unreadable.push_back("fifo");
  if (geteuid() != 0) unreadable.push_back("locked.eml");  // root reads it
  const long files = 7;
#endif
  MailvaneRun run =
      runMailvane(dir.path(), {"-dir", "mail", "-out", "mail/r.csv"});
  std::vector<std::string> lines = sortedLines(run);
  for (const std::string& name : unreadable) {
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(),
                   "[stamp] Unable to read eml from mail" + kSeparator + name),
        1)
        << name;
  }
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "  FBL?: no"),
            files - static_cast<long>(unreadable.size()))
      << "got console:\n"
      << run.console;
  const bool isLockedRead = std::find(unreadable.begin(), unreadable.end(),
                                      "locked.eml") == unreadable.end();
  EXPECT_EQ(
      std::count(lines.begin(), lines.end(), "  Recipient: a@example.com"),
      isLockedRead ? 2 : 1);
  // EX_NOINPUT: files were left unread (the output file is not one).
  EXPECT_EQ(run.status, 66);
#ifdef __linux__
  // A file whose read fails (a process's memory at address 0 gives EIO) is
  // reported, not analysed as if it had ended there.
  MailvaneRun failed =
      runMailvane(dir.path(), {"-eml", "/proc/self/mem", "-out", "r.csv"});
  EXPECT_EQ(failed.console,
            "[stamp] Parsing eml /proc/self/mem\n"
            "[stamp] Unable to read eml from /proc/self/mem\n");
  EXPECT_EQ(failed.status, 66);
#endif
}

#ifndef _WIN32
// A path named exactly is read to its end whatever it is; a wildcard that
// matches a FIFO still leaves it alone. The shell sets up each input.
TEST(CommandLineTest, PathNamedExactlyIsReadToItsEndWhateverItIs) {
  ScratchDir dir;
  // The address comes after four buffer blocks: a read that stops early
  // loses it.
  std::string message = "Subject: Auto-Response: away\r\n";
  for (int i = 0; i < 1000; ++i)
    message += "X-Filler: one more header line\r\n";
  message += "Return-Path: <a@example.com>\r\n\r\nI am away.\r\n";
  dir.write("a.eml", message);
  ASSERT_EQ(mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
  // Some mail systems hand a message over on a socket, which Linux does not
  // open again as /dev/stdin.
  int socket[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, socket), 0);
  ASSERT_EQ(write(socket[0], message.data(), message.size()),
            static_cast<ssize_t>(message.size()));
  shutdown(socket[0], SHUT_WR);
  const std::string run = "\"$0\" -out r.csv -eml ";
  const struct {
    const char* name;
    std::string shell;
    const char* file;  // the row's file name; null when nothing is read
  } cases[] = {
      {"stdin from a file", run + "/dev/stdin <a.eml", "stdin"},
      {"stdin from a pipe", "cat a.eml | " + run + "/dev/stdin", "stdin"},
      {"stdin from a socket", run + "/dev/stdin <&" + std::to_string(socket[1]),
       "stdin"},
      {"FIFO", "cat a.eml >fifo & " + run + "fifo", "fifo"},
      {"FIFO matched by a wildcard", run + "'fif?'", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramOutput got =
        runProgramIn(dir.path(), "/bin/sh", {"-c", c.shell, MAILVANE_EXE});
    EXPECT_EQ(got.status, c.file == nullptr ? 66 : 0);
    const std::string rows = readFile(dir.path() / "r.csv");
    if (c.file == nullptr) {
      EXPECT_NE(got.output.find("Unable to read eml from fifo"),
                std::string::npos)
          << got.output;
      EXPECT_EQ(rows, "");
    } else {
      EXPECT_NE(rows.find(std::string("\",\"") + c.file +
                          "\",\"transient\",\"4.3.2\",\"a@example.com\""),
                std::string::npos)
          << "got: " << rows;
    }
  }
  close(socket[0]);
  close(socket[1]);
}
#endif

}  // namespace
