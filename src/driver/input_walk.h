// The walk over the input files a run names: the matches of an -eml pattern
// and the further names after it, the files of a -dir folder, the messages of
// a Maildir, and with -recursive a whole folder tree.
//
// The walk only finds files; it opens none of them, so a file that cannot be
// read is the per-message step's to report. It prints nothing either: a named
// input that yields no file is handed to the caller, which says so.

#ifndef MAILVANE_DRIVER_INPUT_WALK_H_
#define MAILVANE_DRIVER_INPUT_WALK_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// What a walk is asked to visit; see RunOptions for the meaning of each.
struct WalkRequest {
  std::string emlPattern;
  std::vector<std::string> emlNames;  // further files, each named exactly
  std::string dirPath;
  bool isRecursive = false;
};

// One file the walk yields.
struct InputFile {
  // The path as the console shows it and as it is opened: the directory as
  // the user wrote it, then the found name.
  std::string path;
  // Where the row's file name (column 2) starts in `path`: the bare name,
  // or with -recursive the path below the -dir folder.
  std::size_t columnStart = 0;
  // The user named this path exactly (no "*" or "?"), so it may be a pipe,
  // FIFO or device (see MessageFile::open).
  bool isNamedExactly = false;

  std::string_view column() const {
    return std::string_view(path).substr(columnStart);
  }
};

// Whether `folder` is a Maildir: it has both a "cur" and a "new" folder.
// `folder` ends in a separator, or is empty for the current directory.
bool isMaildir(const std::string& folder);

// Walks the request's inputs in order. For every file, `visit` is called;
// when it returns false the walk ends at once. For every named input (the
// pattern, each further name, the folder) that yields no file at all,
// `notFound` is called. Returns false when `visit` ended the walk.
//
// A folder yields the regular files directly in it (and whatever else is
// not a directory: the open decides), except names beginning with "."; a
// Maildir yields the files of its "new" and then its "cur" folder instead
// (never "tmp", where deliveries are still being written, nor the server's
// index files beside them). With `isRecursive`, sub-folders are walked too,
// depth first, in the order the listing gives them: not those whose names
// begin with ".", except a Maildir's sub-folders that are Maildirs
// themselves (Maildir++ folders such as .Junk), and no link to a folder.
bool walkInputs(const WalkRequest& request,
                const std::function<bool(const InputFile&)>& visit,
                const std::function<void()>& notFound);

#endif  // MAILVANE_DRIVER_INPUT_WALK_H_
