// SPDX-License-Identifier: MIT
#include "outlet/state_files.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string system_error(const std::string& what) {
  return what + ": " + strerror(errno);
}

bool read_small_file(const std::string& path, const std::string& kind,
                     bool shared, std::string* text, std::string* problem) {
  problem->clear();
  text->clear();
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) *problem = system_error("cannot read " + path);
    return false;
  }
  if (shared) flock(fd, LOCK_SH);
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 4096) {
    close(fd);
    *problem = path + " is not a " + kind;
    return false;
  }
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0)
    text->append(buffer, static_cast<size_t>(n));
  close(fd);
  return true;
}

bool remove_file(const std::string& path, std::string* problem) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  *problem = system_error("cannot remove " + path);
  return false;
}
