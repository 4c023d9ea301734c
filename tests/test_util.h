// Helpers shared by the tests: a MessageBuffer filled from bytes through the
// same fill path a real file takes, scratch directories, whole files, and
// runs of the program with the clock's stamps masked. They work alike on POSIX
// systems and on Windows (also under Wine).

#ifndef MAILVANE_TESTS_TEST_UTIL_H_
#define MAILVANE_TESTS_TEST_UTIL_H_

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include "message/message_buffer.h"

// Loads `bytes` into `buffer` through loadFrom() on a stream that holds
// them: an in-memory stream on POSIX, a scratch file that goes when it is
// closed on Windows, which has no in-memory streams.
inline void loadBytes(MessageBuffer& buffer, std::string_view bytes) {
#ifdef _WIN32
  char dir[MAX_PATH + 1];
  char name[MAX_PATH + 1];
  GetTempPathA(sizeof dir, dir);
  GetTempFileNameA(dir, "mvt", 0, name);
  std::FILE* file = std::fopen(name, "w+bD");
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
#else
  std::FILE* file = bytes.empty() ? std::tmpfile()
                                  : fmemopen(const_cast<char*>(bytes.data()),
                                             bytes.size(), "rb");
#endif
  buffer.loadFrom(file);
  std::fclose(file);
}

// The bytes of the file at `path`; "" when it cannot be read.
inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A fresh empty directory under the system's temporary directory, removed
// with everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir() {
#ifdef _WIN32
    // The process id and a counter make the name; create_directory says
    // whether it was still free.
    static unsigned serial = 0;
    do {
      path_ = std::filesystem::temp_directory_path() /
              ("mailvane-test-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(++serial));
    } while (!std::filesystem::create_directory(path_));
#else
    std::string pattern =
        (std::filesystem::temp_directory_path() / "mailvane-test-XXXXXX")
            .string();
    path_ = mkdtemp(pattern.data());
#endif
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes `bytes` to the file `name` inside the directory; returns its path.
  std::filesystem::path write(const std::string& name,
                              std::string_view bytes) const {
    std::filesystem::path file = path_ / name;
    std::FILE* out = std::fopen(file.string().c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
    return file;
  }

 private:
  std::filesystem::path path_;
};

// What one run of a program printed, standard output and error together,
// and its exit status (-1 when it did not start or did not exit normally).
struct ProgramOutput {
  std::string output;
  int status = -1;
};

// Runs `program` with `args` in the directory `workDir`, standard input
// from the null device, and waits for it. The arguments reach the program
// exactly as given. On Windows standard output is in text mode, so the
// console's CRLF line ends come back as LF, as the program writes them on
// POSIX.
inline ProgramOutput runProgramIn(const std::filesystem::path& workDir,
                                  const std::string& program,
                                  const std::vector<std::string>& args) {
  ProgramOutput result;
#ifdef _WIN32
  // The C runtime's rules for parsing a command line: each argument in
  // quotes, a quote inside escaped, and backslashes doubled where they come
  // before a quote.
  auto quoted = [](const std::string& arg) {
    std::string text = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      text.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
      backslashes = 0;
      text += c;
    }
    text.append(2 * backslashes, '\\');
    return text + "\"";
  };
  std::string commandLine =
      quoted(std::filesystem::path(program).make_preferred().string());
  for (const std::string& arg : args) commandLine += " " + quoted(arg);

  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  HANDLE readEnd;
  HANDLE writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0)) return result;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul =
      CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inherited, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process{};
  std::string dir = workDir.string();
  BOOL isStarted =
      CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                     nullptr, dir.c_str(), &startup, &process);
  // Only the child holds the write end now, so the reads below end when it
  // exits.
  CloseHandle(writeEnd);
  CloseHandle(nul);
  if (isStarted) {
    char chunk[4096];
    DWORD n;
    while (ReadFile(readEnd, chunk, sizeof chunk, &n, nullptr) && n > 0) {
      result.output.append(chunk, n);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code;
    if (GetExitCodeProcess(process.hProcess, &code)) {
      result.status = static_cast<int>(code);
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(readEnd);
  std::string lines;
  for (std::size_t i = 0; i < result.output.size(); ++i) {
    if (result.output.compare(i, 2, "\r\n") != 0) lines += result.output[i];
  }
  result.output = lines;
#else
  auto quoted = [](const std::string& arg) {
    std::string text = "'";
    for (char c : arg) {
      text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return text + "'";
  };
  std::string command =
      "cd " + quoted(workDir.string()) + " && " + quoted(program);
  for (const std::string& arg : args) command += " " + quoted(arg);
  std::FILE* pipe = popen((command + " </dev/null 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    result.output.append(chunk, n);
  }
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  return result;
}

// `text` with the "[MM/DD/YY HH:MM:SS] " stamp that opens a line replaced by
// "[stamp] ".
inline std::string withoutStamps(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    if (end - at > 20 && text[at] == '[' && text[at + 18] == ']' &&
        text[at + 19] == ' ') {
      out += "[stamp] ";
      out.append(text, at + 20, end - at - 20);
    } else {
      out.append(text, at, end - at);
    }
    at = end;
  }
  return out;
}

#ifdef MAILVANE_EXE
// One run of the program under test.
struct MailvaneRun {
  std::string banner;   // everything up to and including the usage line
  std::string console;  // the rest, stamps replaced by "[stamp]"
  int status = -1;
};

// Runs the program with `args` in `workDir` (see runProgramIn).
inline MailvaneRun runMailvane(const std::filesystem::path& workDir,
                               const std::vector<std::string>& args) {
  ProgramOutput run = runProgramIn(workDir, MAILVANE_EXE, args);
  const std::string usage = "-out filename [-append]\n\n";
  std::size_t end = run.output.find(usage);
  end = end == std::string::npos ? 0 : end + usage.size();
  return {run.output.substr(0, end), withoutStamps(run.output.substr(end)),
          run.status};
}
#endif

#endif  // MAILVANE_TESTS_TEST_UTIL_H_
