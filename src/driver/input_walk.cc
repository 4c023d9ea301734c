// The walk over the input files: patterns, named files, folders, Maildirs and
// folder trees.

#include "driver/input_walk.h"

#include "driver/platform.h"

namespace {

// `folder` with a separator appended unless it ends in one ("/" counts as
// one on Windows too, so mail/ gives mail/ there; a drive alone, D:, gets
// its "\\").
std::string asFolderPrefix(const std::string& folder) {
  std::string prefix = folder;
  const char last = prefix.back();
  if (last != pathSeparator() && last != '/') prefix += pathSeparator();
  return prefix;
}

class Walker {
 public:
  Walker(const std::function<bool(const InputFile&)>& visit, bool isRecursive)
      : visit_(visit), isRecursive_(isRecursive) {}

  // The files `pattern` matches, the found names put where its last
  // component was, so the path keeps the directory as the user wrote it.
  bool walkPattern(const std::string& pattern, bool isNamedExactly,
                   bool isExact) {
    file_.path = pattern.substr(0, fileNameStart(pattern));
    const std::size_t nameAt = file_.path.size();
    file_.isNamedExactly = isNamedExactly;
    DirectorySearch search;
    if (!search.start(pattern, isExact)) return true;
    for (FoundEntry entry; search.next(entry);) {
      // A leading dot covers "." and ".." as well as hidden files.
      if (entry.name.starts_with('.') || entry.isDirectory) continue;
      file_.path.replace(nameAt, std::string::npos, entry.name);
      file_.columnStart = fileNameStart(file_.path);
      if (!yield()) return false;
    }
    return true;
  }

  // A -dir folder, its tree with -recursive. `folder` ends in a separator;
  // rows name their files by the path below `rootLength` when recursive.
  bool walkFolder(const std::string& folder, std::size_t rootLength) {
    const bool isMail = isMaildir(folder);
    if (isMail) {
      for (const char* part : {"new", "cur"}) {
        const std::string sub = folder + part + pathSeparator();
        if (!walkFiles(sub, rootLength, false)) return false;
      }
      if (!isRecursive_) return true;
    }
    return walkFiles(folder, rootLength, isMail);
  }

  bool isAnyFound() const { return isAnyFound_; }
  void clearFound() { isAnyFound_ = false; }

 private:
  bool yield() {
    isAnyFound_ = true;
    return visit_(file_);
  }

  // The entries of `folder` in listing order: its files (unless it is a
  // Maildir, whose files directly inside are the server's), and with
  // -recursive its sub-folders, each walked where the listing names it.
  bool walkFiles(const std::string& folder, std::size_t rootLength,
                 bool isMail) {
    DirectorySearch search;
    if (!search.start(folder + "*")) return true;
    for (FoundEntry entry; search.next(entry);) {
      if (entry.name == "." || entry.name == "..") continue;
      if (entry.isDirectory) {
        if (!isRecursive_ || entry.isLink) continue;
        const std::string sub = folder + entry.name + pathSeparator();
        const bool isMaildirPart =
            isMail &&
            (entry.name == "new" || entry.name == "cur" || entry.name == "tmp");
        if (isMaildirPart) continue;
        if (entry.name.starts_with('.') && !(isMail && isMaildir(sub))) {
          continue;
        }
        if (!walkFolder(sub, rootLength)) return false;
      } else if (!isMail && !entry.name.starts_with('.')) {
        file_.path = folder + entry.name;
        file_.columnStart =
            isRecursive_ ? rootLength : fileNameStart(file_.path);
        file_.isNamedExactly = false;
        if (!yield()) return false;
      }
    }
    return true;
  }

  const std::function<bool(const InputFile&)>& visit_;
  const bool isRecursive_;
  bool isAnyFound_ = false;
  InputFile file_;
};

}  // namespace

bool isMaildir(const std::string& folder) {
  return isFolder(folder + "cur") && isFolder(folder + "new");
}

bool walkInputs(const WalkRequest& request,
                const std::function<bool(const InputFile&)>& visit,
                const std::function<void()>& notFound) {
  Walker walker(visit, request.isRecursive);
  if (!request.dirPath.empty()) {
    const std::string folder = asFolderPrefix(request.dirPath);
    if (!walker.walkFolder(folder, folder.size())) return false;
    if (!walker.isAnyFound()) notFound();
    return true;
  }
  // A pattern without "*" or "?" names one path exactly; the listing still
  // finds the named entry, so dot names and directories are skipped as
  // for a pattern.
  const bool isExactPath =
      request.emlPattern.find_first_of("*?") == std::string::npos;
  if (!walker.walkPattern(request.emlPattern, isExactPath, false)) return false;
  if (!walker.isAnyFound()) notFound();
  for (const std::string& name : request.emlNames) {
    walker.clearFound();
    if (!walker.walkPattern(name, true, true)) return false;
    if (!walker.isAnyFound()) notFound();
  }
  return true;
}
