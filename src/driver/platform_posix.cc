// The driver's system interface on POSIX systems: "/" paths, readdir, flock
// and write(2) for the output file, termios and localtime_r.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "driver/platform.h"

char pathSeparator() { return '/'; }

std::size_t fileNameStart(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

// Walks both texts once; on a mismatch after a "*" it lets that star swallow
// one more character and retries from there. Only the latest star needs
// retrying: an earlier one can never help where the latest cannot.
bool matchWildcard(std::string_view pattern, std::string_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t starAt = std::string_view::npos;
  std::size_t resumeAt = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starAt = p++;
      resumeAt = n;
    } else if (starAt != std::string_view::npos) {
      p = starAt + 1;
      n = ++resumeAt;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

struct DirectorySearch::Listing {
  DIR* dir = nullptr;
  ~Listing() {
    if (dir != nullptr) closedir(dir);
  }
};

DirectorySearch::DirectorySearch() = default;
DirectorySearch::~DirectorySearch() = default;

bool isFolder(const std::string& path) {
  struct stat target;
  return stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
}

bool DirectorySearch::start(const std::string& pattern, bool isExact) {
  std::size_t nameAt = fileNameStart(pattern);
  dirPrefix_ = pattern.substr(0, nameAt);
  namePattern_ = pattern.substr(nameAt);
  isExact_ = isExact;
  listing_ = std::make_unique<Listing>();
  listing_->dir = opendir(dirPrefix_.empty() ? "." : dirPrefix_.c_str());
  return listing_->dir != nullptr;
}

bool DirectorySearch::next(FoundEntry& entry) {
  if (!listing_ || listing_->dir == nullptr) return false;
  while (const dirent* found = readdir(listing_->dir)) {
    if (isExact_ ? namePattern_ != found->d_name
                 : !matchWildcard(namePattern_, found->d_name)) {
      continue;
    }
    entry.name = found->d_name;
    entry.isDirectory = found->d_type == DT_DIR;
    entry.isLink = found->d_type == DT_LNK;
    // Some file systems leave the type open, and a link to a directory
    // counts as one; both need a look at the target.
    if (found->d_type == DT_UNKNOWN || found->d_type == DT_LNK) {
      const std::string path = dirPrefix_ + entry.name;
      struct stat target;
      entry.isDirectory =
          stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
      entry.isLink = entry.isLink || (lstat(path.c_str(), &target) == 0 &&
                                      S_ISLNK(target.st_mode));
    }
    return true;
  }
  return false;
}

namespace {

// Another run's lock, a full disk and an exhausted quota pass with time.
OutputFailure outputFailure(int error) {
  return {error, error == EWOULDBLOCK || error == ENOSPC || error == EDQUOT};
}

}  // namespace

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (readFd_ >= 0) ::close(readFd_);
}

bool OutputFile::open(const std::string& path, bool append,
                      OutputFailure& failure) {
  // A file-size limit would otherwise end the process in the middle of a
  // message's rows; ignored, it fails the write with EFBIG, which is handled
  // like any other failed write.
  signal(SIGXFSZ, SIG_IGN);
  int fd =
      ::open(path.c_str(),
             O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : 0), 0666);
  if (fd < 0) {
    failure = outputFailure(errno);
    return false;
  }
  auto fail = [&] {
    failure = outputFailure(errno);
    ::close(fd);  // also drops a lock already taken
    return false;
  };
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail();
  // Truncate only now that the file is ours. Devices such as /dev/null
  // cannot be truncated and need not be.
  struct stat opened;
  if (fstat(fd, &opened) != 0) return fail();
  isRegular_ = S_ISREG(opened.st_mode);
  device_ = static_cast<std::uint64_t>(opened.st_dev);
  inode_ = static_cast<std::uint64_t>(opened.st_ino);
  if (!append && isRegular_ && ftruncate(fd, 0) != 0) return fail();
  length_ = append && opened.st_size > 0
                ? static_cast<std::uint64_t>(opened.st_size)
                : 0;
  // The stream only carries the descriptor; write() goes to the descriptor
  // itself, with no stdio buffer in between.
  file_ = fdopen(fd, append ? "ab" : "wb");
  if (file_ == nullptr) return fail();
  if (isRegular_ && length_ > 0) openFoundForReading(path);
  return true;
}

// The path is opened once more, read-only, now that the lock is held, and
// kept only when it still names the file just locked: a file renamed or
// replaced in between is not the one the rows go to (O_NONBLOCK keeps a
// FIFO put there from blocking the open). A file the user may not read
// stays unreadable, which is not an error of the open.
void OutputFile::openFoundForReading(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat found;
  if (fstat(fd, &found) == 0 &&
      static_cast<std::uint64_t>(found.st_dev) == device_ &&
      static_cast<std::uint64_t>(found.st_ino) == inode_) {
    readFd_ = fd;
  } else {
    ::close(fd);
  }
}

std::ptrdiff_t OutputFile::readFound(std::uint64_t offset, char* data,
                                     std::size_t want) {
  if (readFd_ < 0) return -1;
  if (offset >= length_) return 0;
  want =
      static_cast<std::size_t>(std::min<std::uint64_t>(want, length_ - offset));
  for (;;) {
    ssize_t n = pread(readFd_, data, want, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool OutputFile::write(std::string_view bytes, OutputFailure& failure) {
  const int fd = fileno(file_);
  std::size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = outputFailure(n < 0 ? errno : EIO);
      if (isRegular_ && written > 0) {
        // Nothing more can be done if this fails too; the write's error is
        // the one to report.
        [[maybe_unused]] int ignored =
            ftruncate(fd, static_cast<off_t>(length_));
      }
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  length_ += written;
  return true;
}

bool OutputFile::close(OutputFailure& failure) {
  if (readFd_ >= 0) ::close(std::exchange(readFd_, -1));
  std::FILE* file = std::exchange(file_, nullptr);
  if (file == nullptr || std::fclose(file) == 0) return true;
  failure = outputFailure(errno);
  return false;
}

namespace {

// Opens a path the user named exactly. /dev/stdin is standard input itself,
// taken as a copy of its descriptor: Linux cannot open it again when it is a
// socket (ENXIO), nor when it is a pipe that another user created and the
// program runs under a user of its own (EACCES), which is how mail systems
// hand a message to a command.
int openNamedExactly(const std::string& path) {
  if (path == "/dev/stdin") return fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
  return open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
}

// The status stopRequest() gives; written by the signal handler only.
volatile sig_atomic_t gStopStatus = 0;

void noteStop(int signalNumber) { gStopStatus = 128 + signalNumber; }

}  // namespace

// Without SA_RESTART, so that an open or read waiting for a pipe's writer
// returns EINTR instead of going on waiting.
void installStopRequests() {
  struct sigaction action {};
  action.sa_handler = noteStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int stopRequest() { return gStopStatus; }

MessageFile::~MessageFile() {
  if (fd_ >= 0) ::close(fd_);
}

// One open and one fstat per message, no walk of the path beyond the open,
// and the bare descriptor rather than a stream on it, which would cost a
// further call: with tens of thousands of small messages, every call is a
// noticeable share of the run. The output file's identity was taken when it
// was opened. In a directory walk O_NONBLOCK keeps the open itself from
// waiting for a writer when the name is a FIFO; on a regular file it
// changes nothing, so it stays set.
bool MessageFile::open(const std::string& path, const OutputFile* out,
                       bool isNamedExactly) {
  size_ = 0;
  isOutputFile_ = false;
  isInterrupted_ = false;
  int fd =
      isNamedExactly
          ? openNamedExactly(path)
          : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat opened;
  bool isUsable =
      fstat(fd, &opened) == 0 &&
      (S_ISREG(opened.st_mode) || (isNamedExactly && !S_ISDIR(opened.st_mode)));
  isOutputFile_ = isUsable && out != nullptr && out->stream() != nullptr &&
                  out->device() == static_cast<std::uint64_t>(opened.st_dev) &&
                  out->inode() == static_cast<std::uint64_t>(opened.st_ino);
  if (!isUsable || isOutputFile_) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  // Only a regular file's size is its length; 0 has the buffer read to the
  // end, as a pipe or device needs.
  if (S_ISREG(opened.st_mode) && opened.st_size > 0) {
    size_ = static_cast<std::uint64_t>(opened.st_size);
  }
  return true;
}

namespace {

// Calls `read` until no signal interrupts it. A signal that asks the run to
// stop ends a read waiting for a pipe's writer instead: -1, with
// `isInterrupted` set.
template <class Read>
std::ptrdiff_t readRetried(Read read, bool& isInterrupted) {
  for (;;) {
    const ssize_t n = read();
    if (n >= 0 || errno != EINTR) return n;
    if (stopRequest() != 0) {
      isInterrupted = true;
      return -1;
    }
  }
}

}  // namespace

std::ptrdiff_t MessageFile::read(char* data, std::size_t want) {
  return readRetried([&] { return ::read(fd_, data, want); }, isInterrupted_);
}

std::ptrdiff_t MessageFile::readAreas(char* const* areas, std::size_t areaSize,
                                      std::size_t from, std::size_t end) {
  // A whole message is at most a few hundred areas; more than the system
  // takes in one call are left to the next.
  constexpr std::size_t kMostAreas = 1024;
  iovec parts[kMostAreas];
  int count = 0;
  for (std::size_t at = from; at < end && count < static_cast<int>(kMostAreas);
       ++count) {
    const std::size_t offset = at % areaSize;
    const std::size_t length = std::min(areaSize - offset, end - at);
    parts[count] = iovec{areas[at / areaSize] + offset, length};
    at += length;
  }
  return readRetried([&] { return ::readv(fd_, parts, count); },
                     isInterrupted_);
}

namespace {

// One read(2) of a single byte, retried when a signal interrupts it.
void readOneByte() {
  char key;
  while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool isStandardOutputTerminal() { return isatty(STDOUT_FILENO) != 0; }

bool isStandardErrorTerminal() { return isatty(STDERR_FILENO) != 0; }

void waitForKey() {
  termios saved;
  if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios raw = saved;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
      readOneByte();
      tcsetattr(STDIN_FILENO, TCSANOW, &saved);
      return;
    }
  }
  readOneByte();
}

std::tm currentLocalTime() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

// POSIX executables carry no version record; the build passes the project
// version in instead.
std::string programFileVersion() {
#ifdef MAILVANE_FILE_VERSION
  return MAILVANE_FILE_VERSION;
#else
  return "";
#endif
}
