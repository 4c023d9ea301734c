// The read floor of bench/throughput.sh: the least work any program that
// looks at every message file of a folder has to do. One process lists the
// folder, then opens, fstat's, reads to the end and closes each regular file
// in it, and does nothing with the bytes. Its wall time is what Mailvane's is
// compared with.
//
// Usage: read_floor DIR   (prints the number of files and bytes read)

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: read_floor DIR\n");
    return 2;
  }
  std::string dir = argv[1];
  if (dir.empty() || dir.back() != '/') dir += '/';
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(listing);

  std::vector<char> data;
  unsigned long long files = 0;
  unsigned long long bytes = 0;
  std::string path = dir;
  for (const std::string& name : names) {
    path.replace(dir.size(), std::string::npos, name);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
      // The size known, the read that would only find the end is spared.
      std::size_t size = static_cast<std::size_t>(info.st_size);
      if (data.size() < size + 1) data.resize(size + 1);
      std::size_t total = 0;
      ssize_t n;
      while (total < size &&
             (n = read(fd, data.data() + total, data.size() - total)) > 0) {
        total += static_cast<std::size_t>(n);
      }
      bytes += total;
      ++files;
    }
    close(fd);
  }
  std::printf("%llu files, %llu bytes\n", files, bytes);
  return 0;
}
