// What the driver needs from the operating system: path separators, the
// directory search that walks the input files, the exclusive output file
// and its whole-or-nothing writes, the same-file test, the key wait, the
// local clock and the program's own version string.
//
// Every system call of the program lives behind this header, in one file per
// platform (platform_posix.cc, platform_windows.cc). Nothing here prints:
// failures come back as false, an empty result or an error number, and the
// run loop decides what the user sees. Single-threaded.

#ifndef MAILVANE_DRIVER_PLATFORM_H_
#define MAILVANE_DRIVER_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "message/message_buffer.h"

// The separator the run loop appends to a directory that does not end in one:
// "/" on POSIX, "\\" on Windows, where "/" is taken as a separator too.
char pathSeparator();

// Where the file name of `path` starts: just after its last separator, or 0
// when it has none. The run loop puts found names there, and the text from
// there on is a path's base name. On Windows that is after the last "\\",
// after the last "/" only when there is no "\\", and after a drive's ":"
// when there is neither (D:x.eml), so mail\sub/x.eml has the name sub/x.eml.
std::size_t fileNameStart(std::string_view path);

// Whether `name` matches `pattern` as a whole, where "*" stands for any run of
// characters (also none) and "?" for exactly one; every other character
// stands for itself, case included. POSIX only: on Windows the system's
// directory search matches the pattern itself.
bool matchWildcard(std::string_view pattern, std::string_view name);

// One entry yielded by a DirectorySearch.
struct FoundEntry {
  std::string name;          // the bare name, without the directory
  bool isDirectory = false;  // also a link to a directory
  // A symbolic link (on Windows any reparse point, a junction included);
  // a folder walk does not follow one that leads to a directory.
  bool isLink = false;
};

// Whether `path` names a directory, or a link to one.
bool isFolder(const std::string& path);

// A search for the entries of one directory whose names match the last
// component of a pattern such as mail/*.eml (the directory is "." when the
// pattern has no separator). Entries come in the order the directory listing
// gives them, "." and ".." included, like every other match. The directory
// stays open until the object goes.
class DirectorySearch {
 public:
  DirectorySearch();
  ~DirectorySearch();
  DirectorySearch(const DirectorySearch&) = delete;
  DirectorySearch& operator=(const DirectorySearch&) = delete;

  // Opens the pattern's directory. False when it cannot be listed (missing,
  // not a directory, no permission); next() then yields nothing. With
  // `isExact` the last component is a name, not a pattern: "*" and "?" in it
  // stand for themselves (POSIX only: Windows always matches patterns).
  bool start(const std::string& pattern, bool isExact = false);
  // The next matching entry; false once the listing is exhausted.
  bool next(FoundEntry& entry);

 private:
  struct Listing;  // the platform's open directory handle
  std::unique_ptr<Listing> listing_;
  std::string dirPrefix_;    // the pattern up to its file name, "" for "."
  std::string namePattern_;  // the pattern's last component
  bool isExact_ = false;
};

// Why an operation on the output file failed.
struct OutputFailure {
  int error = 0;  // the runtime's errno value, shown to the user
  // Trying again later may succeed: another run holds the file, or the disk
  // or the user's quota is full.
  bool isRetryable = false;
};

// The output file, held exclusively from open() until close() or the
// object's end, so that a second run cannot write into the same file. Every
// failure comes back as false with `failure` filled in.
class OutputFile {
 public:
  OutputFile() = default;
  // Closes a file still open; a failure of that close goes unreported.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens `path` for byte-exact writing and takes the lock. The file is
  // created when missing; unless `append` is set it is truncated, but only
  // once the lock is held, so a file another run holds is left as it is.
  // With `append` every write goes to the end. On POSIX systems it also
  // sets SIGXFSZ to be ignored, so that a file-size limit fails a write
  // with EFBIG instead of ending the process in the middle of a row.
  bool open(const std::string& path, bool append, OutputFailure& failure);
  // Writes `bytes` with one write call, or more only when the system takes
  // fewer bytes than asked (the next call then says why). On failure a
  // regular file is cut back to the length it had before this call, so it
  // holds only what earlier calls wrote; a device or pipe cannot be cut.
  // REQUIRES: open() succeeded.
  bool write(std::string_view bytes, OutputFailure& failure);
  // Closes the file. A file system may report a lost write only here.
  bool close(OutputFailure& failure);

  // Reads the file's bytes from `offset` on into `data`, for a look at what
  // an -append open found: the count read, 0 at the end of the file, -1
  // when it cannot be read. Only a regular file that held bytes when opened
  // with `append` can be read; one the user may write but not read gives
  // -1. Reading moves neither where write() writes nor the lock.
  // REQUIRES: open() succeeded.
  std::ptrdiff_t readFound(std::uint64_t offset, char* data, std::size_t want);
  // What open() found in the file plus what write() added since; 0 for a
  // new or truncated file and for a device or pipe.
  std::uint64_t length() const { return length_; }

  // The open stream, for comparing files; null when closed. Writing goes
  // through write() only.
  std::FILE* stream() const { return file_; }
  // The file's device and inode as open() found them (POSIX only; 0 on
  // Windows), so a message file is compared with it without asking again.
  std::uint64_t device() const { return device_; }
  std::uint64_t inode() const { return inode_; }

 private:
  std::FILE* file_ = nullptr;
  bool isRegular_ = false;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
  // What open() found in the file plus what write() added since: the length
  // to cut back to, known without asking the system.
  std::uint64_t length_ = 0;
#ifdef _WIN32
  // The file was opened for reading as well as appending.
  bool isReadable_ = false;
#else
  // A second descriptor, for reading only, on the file an -append open
  // found holding bytes; -1 otherwise. The write descriptor stays write-only
  // so that opening a FIFO or a write-only file behaves as it always has.
  int readFd_ = -1;
  // Sets readFd_ when `path` still names the file open() locked.
  void openFoundForReading(const std::string& path);
#endif
};

// One message file open for reading, byte-exact and unbuffered (every read
// asks for a whole block of the message buffer), closed when the object goes.
class MessageFile final : public ByteSource {
 public:
  MessageFile() = default;
  ~MessageFile();
  MessageFile(const MessageFile&) = delete;
  MessageFile& operator=(const MessageFile&) = delete;

  // Opens `path`. False when it cannot be opened, when it is the very file
  // `out` has open (the output file matches too when it lies in the scanned
  // directory, and reading it back would take the rows as a message), or
  // when it is not a regular file and `isNamedExactly` is false: a FIFO or
  // device met by a directory walk would block the run or never end a read.
  // A path the user named exactly may be a pipe, FIFO, character device or
  // /dev/stdin; it is opened blocking (a FIFO waits for its writer) and read
  // to its end. `out` may be null or closed. On Windows `isNamedExactly`
  // changes nothing: devices are always refused.
  // REQUIRES: the object holds no open file.
  bool open(const std::string& path, const OutputFile* out,
            bool isNamedExactly);
  // Reads on from the current position; a read a signal interrupts is
  // retried. REQUIRES: open() succeeded.
  std::ptrdiff_t read(char* data, std::size_t want) override;
#ifndef _WIN32
  // One readv over the areas; retried like read().
  std::ptrdiff_t readAreas(char* const* areas, std::size_t areaSize,
                           std::size_t from, std::size_t end) override;
#endif
  // The size of a regular file as open() found it, 0 when unknown.
  std::uint64_t size() const { return size_; }
  // After a failed open(): whether the path was refused for being the output
  // file itself, which is no input the user meant to give.
  bool isOutputFile() const { return isOutputFile_; }
  // Whether a read ended because a stop was requested (see stopRequest)
  // while it waited: the message is then incomplete.
  bool isInterrupted() const { return isInterrupted_; }

 private:
#ifdef _WIN32
  std::FILE* file_ = nullptr;
#else
  int fd_ = -1;
#endif
  std::uint64_t size_ = 0;
  bool isOutputFile_ = false;
  bool isInterrupted_ = false;
};

// Whether standard output is an interactive terminal (a console window on
// Windows), not a file, pipe or device.
bool isStandardOutputTerminal();
// The same for standard error.
bool isStandardErrorTerminal();

// From this call on, Ctrl+C (SIGINT) and SIGTERM, on Windows Ctrl+C and
// Ctrl+Break, no longer end the process: they are noted, and the run loop
// ends the run after the message in hand. A blocking open or read of a pipe
// or FIFO that waits meanwhile gives up (see MessageFile).
void installStopRequests();
// The exit status a requested stop asks for: 130 for Ctrl+C (128 + SIGINT,
// as shells report it; Ctrl+Break too on Windows), 143 for SIGTERM; 0 while
// no stop was requested.
int stopRequest();

// Waits for one key press without echo when standard input is a terminal.
// Otherwise reads one byte of standard input and returns: at once at end of
// input, so an unattended run never hangs on it.
void waitForKey();

// The current local date and time.
std::tm currentLocalTime();

// The program's "FileVersion" string as the build recorded it, unnormalised;
// "" when there is none.
std::string programFileVersion();

#ifdef _WIN32
// Whether `path` names the very file `file` has open (same volume and file
// index). False when either cannot be examined.
bool isSameFile(const std::string& path, std::FILE* file);

// The "FileVersion" string of the version resource `resourceId` of the
// running executable, converted to the ANSI code page; "" when there is no
// such resource, no such string or it does not fit 253 bytes. The string is
// looked up for the resource's one language and code page; a resource that
// lists none or several is looked up for the user's default language and
// code page 1200 (04B0). Used by programFileVersion (resource 1) and by
// tests.
std::string fileVersionOfResource(int resourceId);

// While it lasts, the console window standard output writes to decodes
// output as UTF-8, as file names (with the program's manifest) and subjects
// are; it gets its former output code page back when the object goes, or
// when Ctrl+C or Ctrl+Break ends the process first. Does nothing when
// standard output is not a console window: redirected output is bytes.
class Utf8ConsoleOutput {
 public:
  Utf8ConsoleOutput();
  ~Utf8ConsoleOutput();
  Utf8ConsoleOutput(const Utf8ConsoleOutput&) = delete;
  Utf8ConsoleOutput& operator=(const Utf8ConsoleOutput&) = delete;
};

// Makes processor faults (access violations and the like) on the calling
// thread arrive as a thrown VCSE, where the compiler can translate them.
// GCC cannot: there a fault ends the process.
void installFaultTranslator();
#endif

#endif  // MAILVANE_DRIVER_PLATFORM_H_
