// The driver's system interface on Windows: "\\" paths, FindFirstFileA, the
// output file held without sharing, _getch, localtime_s, the console's
// output code page, and the version resource read with VerQueryValueW.

#include <windows.h>
// After <windows.h>, which these need.
#include <conio.h>
#include <io.h>
#include <share.h>
#include <winver.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>
#include <utility>

#include "driver/platform.h"

#ifdef _MSC_VER
#include <eh.h>
#endif

char pathSeparator() { return '\\'; }

std::size_t fileNameStart(std::string_view path) {
  std::size_t at = path.rfind('\\');
  if (at == std::string_view::npos) at = path.rfind('/');
  if (at == std::string_view::npos) at = path.rfind(':');
  return at == std::string_view::npos ? 0 : at + 1;
}

// FindFirstFileA hands over the first entry together with the handle; it
// waits in `found` until next() is first called.
struct DirectorySearch::Listing {
  HANDLE handle = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA found{};
  bool isFirstPending = false;
  ~Listing() {
    if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  }
};

DirectorySearch::DirectorySearch() = default;
DirectorySearch::~DirectorySearch() = default;

bool isFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The system matches the whole pattern, directory and wildcards alike, so
// the prefix and the name pattern stay unused here; "*" and "?" cannot be
// part of a Windows file name, so an exact name needs nothing else.
bool DirectorySearch::start(const std::string& pattern, bool /*isExact*/) {
  listing_ = std::make_unique<Listing>();
  listing_->handle = FindFirstFileA(pattern.c_str(), &listing_->found);
  listing_->isFirstPending = listing_->handle != INVALID_HANDLE_VALUE;
  return listing_->isFirstPending;
}

bool DirectorySearch::next(FoundEntry& entry) {
  if (!listing_ || listing_->handle == INVALID_HANDLE_VALUE) return false;
  if (listing_->isFirstPending) {
    listing_->isFirstPending = false;
  } else if (!FindNextFileA(listing_->handle, &listing_->found)) {
    return false;
  }
  entry.name = listing_->found.cFileName;
  entry.isDirectory =
      (listing_->found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.isLink =
      (listing_->found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return true;
}

namespace {

// Another run holding the file (a sharing violation) and a full disk pass
// with time. The runtime keeps the system's own code of its latest failure
// in _doserrno; errno alone reads EACCES for a directory too.
OutputFailure outputFailure(int error) {
  return {error, error == ENOSPC || _doserrno == ERROR_SHARING_VIOLATION ||
                     _doserrno == ERROR_DISK_FULL};
}

}  // namespace

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
}

// _SH_DENYRW keeps everyone else, this process included, from opening the
// file while the run holds it. The sharing check comes before "wb" empties
// the file, so a file another run holds is left as it is; the failure then
// reads as EACCES.
//
// Since not even this process can open the file a second time, an -append
// open asks for reading too ("a+b": writes still go to the end), so that
// readFound() can look at what the file holds. A file whose permissions
// allow writing only is opened for appending alone, as before.
bool OutputFile::open(const std::string& path, bool append,
                      OutputFailure& failure) {
  _doserrno = 0;
  file_ = _fsopen(path.c_str(), append ? "a+b" : "wb", _SH_DENYRW);
  isReadable_ = append && file_ != nullptr;
  if (append && file_ == nullptr && _doserrno == ERROR_ACCESS_DENIED) {
    _doserrno = 0;
    file_ = _fsopen(path.c_str(), "ab", _SH_DENYRW);
  }
  if (file_ == nullptr) {
    failure = outputFailure(errno);
    return false;
  }
  const int fd = _fileno(file_);
  isRegular_ = GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) ==
               FILE_TYPE_DISK;
  const __int64 length = isRegular_ && append ? _filelengthi64(fd) : 0;
  length_ = length > 0 ? static_cast<std::uint64_t>(length) : 0;
  return true;
}

// The runtime's _write is one WriteFile for a binary file (after a seek to
// the end in append mode); the stream's own fwrite would split a text into
// pieces of its buffer size.
bool OutputFile::write(std::string_view bytes, OutputFailure& failure) {
  const int fd = _fileno(file_);
  std::size_t written = 0;
  while (written < bytes.size()) {
    const unsigned int piece = static_cast<unsigned int>(
        std::min<std::size_t>(bytes.size() - written, INT_MAX));
    _doserrno = 0;
    const int n = _write(fd, bytes.data() + written, piece);
    if (n <= 0) {
      failure = outputFailure(n < 0 ? errno : ENOSPC);
      if (isRegular_ && written > 0) {
        _chsize_s(fd, static_cast<__int64>(length_));
      }
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  length_ += written;
  return true;
}

std::ptrdiff_t OutputFile::readFound(std::uint64_t offset, char* data,
                                     std::size_t want) {
  if (!isReadable_ || !isRegular_) return -1;
  if (offset >= length_) return 0;
  const unsigned int piece = static_cast<unsigned int>(
      std::min<std::uint64_t>({want, length_ - offset, INT_MAX}));
  const int fd = _fileno(file_);
  // The runtime's _write of an append-mode file seeks to the end itself,
  // so moving the file pointer here does not move where rows go.
  if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
  return _read(fd, data, piece);
}

bool OutputFile::close(OutputFailure& failure) {
  std::FILE* file = std::exchange(file_, nullptr);
  _doserrno = 0;
  if (file == nullptr || std::fclose(file) == 0) return true;
  failure = outputFailure(errno);
  return false;
}

// A handle that asks for no access at all is not refused by the output
// file's sharing mode, so the file can be compared while the run holds it.
bool isSameFile(const std::string& path, std::FILE* file) {
  if (file == nullptr) return false;
  auto opened = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (opened == INVALID_HANDLE_VALUE) return false;
  HANDLE named = CreateFileA(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION namedInfo;
  BY_HANDLE_FILE_INFORMATION openedInfo;
  bool isSame =
      GetFileInformationByHandle(named, &namedInfo) &&
      GetFileInformationByHandle(opened, &openedInfo) &&
      namedInfo.dwVolumeSerialNumber == openedInfo.dwVolumeSerialNumber &&
      namedInfo.nFileIndexHigh == openedInfo.nFileIndexHigh &&
      namedInfo.nFileIndexLow == openedInfo.nFileIndexLow;
  CloseHandle(named);
  return isSame;
}

MessageFile::~MessageFile() {
  if (file_ != nullptr) std::fclose(file_);
}

// The output file is held without sharing, so opening it again fails anyway;
// the same-file test keeps the outcome plain when the sharing rules differ
// (a network share, say). One attribute query tells a regular file and its
// size.
bool MessageFile::open(const std::string& path, const OutputFile* out,
                       bool /*isNamedExactly*/) {
  size_ = 0;
  isInterrupted_ = false;
  isOutputFile_ = isSameFile(path, out != nullptr ? out->stream() : nullptr);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (isOutputFile_ ||
      !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return false;
  }
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) return false;
  std::setvbuf(file_, nullptr, _IONBF, 0);
  size_ = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
          data.nFileSizeLow;
  return true;
}

std::ptrdiff_t MessageFile::read(char* data, std::size_t want) {
  return readStream(file_, data, want);
}

bool isStandardOutputTerminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool isStandardErrorTerminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

namespace {

// The status stopRequest() gives; set by the console's control handler,
// which runs on a thread of its own.
volatile LONG gStopStatus = 0;

// Ctrl+C and Ctrl+Break are taken (TRUE): the run ends after the message in
// hand. Closing the window or logging off is left to the handlers before.
BOOL WINAPI noteStop(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterlockedExchange(&gStopStatus, 130);
  return TRUE;
}

}  // namespace

// Registered last, so it is asked first, before the handler that puts the
// console's code page back: the run then ends normally and its own cleanup
// puts the code page back.
void installStopRequests() { SetConsoleCtrlHandler(noteStop, TRUE); }

int stopRequest() { return static_cast<int>(gStopStatus); }

// _getch reads the console itself, not standard input, so it is used only
// when standard input is the console; redirected input gives up one byte
// instead and ends the wait at once at its end. (_isatty cannot tell: it
// holds NUL and every other character device for a console.)
void waitForKey() {
  DWORD mode;
  if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
    _getch();
    return;
  }
  char key;
  _read(_fileno(stdin), &key, 1);
}

std::tm currentLocalTime() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_s(&local, &now);
  return local;
}

namespace {

// The output code page the console had before the run set UTF-8; 0 while
// the run has not changed it.
UINT gFormerConsoleOutputCodePage = 0;

// Ctrl+C and Ctrl+Break end the process without unwinding, so the code page
// goes back here; FALSE lets the default handler end the process as before.
BOOL WINAPI restoreConsoleOutputCodePage(DWORD) {
  if (gFormerConsoleOutputCodePage != 0) {
    SetConsoleOutputCP(gFormerConsoleOutputCodePage);
  }
  return FALSE;
}

}  // namespace

Utf8ConsoleOutput::Utf8ConsoleOutput() {
  if (!isStandardOutputTerminal()) return;
  UINT former = GetConsoleOutputCP();
  if (former == 0 || former == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
  gFormerConsoleOutputCodePage = former;
  SetConsoleCtrlHandler(restoreConsoleOutputCodePage, TRUE);
}

Utf8ConsoleOutput::~Utf8ConsoleOutput() {
  if (gFormerConsoleOutputCodePage == 0) return;
  SetConsoleCtrlHandler(restoreConsoleOutputCodePage, FALSE);
  SetConsoleOutputCP(gFormerConsoleOutputCodePage);
  gFormerConsoleOutputCodePage = 0;
}

namespace {

// RT_VERSION as a number, for FindResourceA whatever the UNICODE setting.
constexpr WORD kVersionResourceType = 16;
// The version text is at most 256 characters with its terminator: a leading
// blank, the converted value with its terminator, a line feed.
constexpr int kMaxConvertedValue = 254;
constexpr int kMaxNameLength = 64;

// Looks `name` up in a version record (a VS_VERSIONINFO block) and returns
// its value in the ANSI code page, "" when there is none. The string table
// is the one of the record's language and code page when it lists exactly
// one pair; otherwise the user's default language with code page 1200 is
// assumed, as most records are written that way.
std::string queryVersionString(void* record, const char* name) {
  wchar_t wideName[kMaxNameLength];
  if (MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, kMaxNameLength) == 0) {
    return "";
  }

  wchar_t query[128];
  void* value = nullptr;
  UINT length = 0;
  if (VerQueryValueW(record, L"\\VarFileInfo\\Translation", &value, &length) &&
      length == 4) {
    DWORD pair;
    std::memcpy(&pair, value, sizeof pair);
    WORD language = LOWORD(pair);
    WORD codePage = HIWORD(pair);
    std::swprintf(query, sizeof query / sizeof query[0],
                  L"\\StringFileInfo\\%02X%02X%02X%02X\\%ls", HIBYTE(language),
                  LOBYTE(language), HIBYTE(codePage), LOBYTE(codePage),
                  wideName);
  } else {
    std::swprintf(query, sizeof query / sizeof query[0],
                  L"\\StringFileInfo\\%04X04B0\\%ls",
                  static_cast<unsigned>(GetUserDefaultLangID()), wideName);
  }

  value = nullptr;
  length = 0;
  if (!VerQueryValueW(record, query, &value, &length) || value == nullptr) {
    return "";
  }
  // The value is zero-terminated in the record. A value too long for the
  // area fails to convert and counts as none.
  char converted[kMaxConvertedValue];
  int n = WideCharToMultiByte(CP_ACP, 0, static_cast<const wchar_t*>(value), -1,
                              converted, kMaxConvertedValue, nullptr, nullptr);
  if (n <= 1) return "";
  return std::string(converted, n - 1);
}

}  // namespace

// VerQueryValueW works on a record it may write into, so it gets a private
// copy instead of the executable's read-only image of the resource.
std::string fileVersionOfResource(int resourceId) {
  HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(resourceId),
                                 MAKEINTRESOURCEA(kVersionResourceType));
  if (resource == nullptr) return "";
  DWORD size = SizeofResource(nullptr, resource);
  HGLOBAL loaded = LoadResource(nullptr, resource);
  if (size == 0 || loaded == nullptr) return "";
  std::string version;
  if (const void* locked = LockResource(loaded)) {
    if (HLOCAL copy = LocalAlloc(LMEM_FIXED, size)) {
      std::memcpy(copy, locked, size);
      version = queryVersionString(copy, "FileVersion");
      LocalFree(copy);
    }
  }
  FreeResource(loaded);
  return version;
}

std::string programFileVersion() { return fileVersionOfResource(1); }

#ifdef _MSC_VER

// A processor fault raised on a thread with the translator installed,
// carried as a C++ exception so that the clean-up on its way out runs
// (destructors close the output file and free the message). Nothing catches
// it by type: once it has passed every frame the process ends abnormally.
class VCSE {
 public:
  VCSE(const EXCEPTION_RECORD& record, const CONTEXT& context)
      : record_(record), context_(context) {}
  const EXCEPTION_RECORD& record() const { return record_; }
  const CONTEXT& context() const { return context_; }

 private:
  EXCEPTION_RECORD record_;
  CONTEXT context_;
};

namespace {

void translateFault(unsigned int, EXCEPTION_POINTERS* fault) {
  throw VCSE(*fault->ExceptionRecord, *fault->ContextRecord);
}

}  // namespace

// Needs /EHa, which the MSVC build sets, so that faults unwind like throws.
void installFaultTranslator() { _set_se_translator(translateFault); }

#else

// GCC has no translator of processor faults into C++ exceptions: a fault
// goes to the system's unhandled-exception handling, which ends the process
// with the fault's code as its exit status.
void installFaultTranslator() {}

#endif
