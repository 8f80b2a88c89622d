// SPDX-License-Identifier: MIT
#include "control/bounded_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

bounded_read read_bounded_text(const std::string& path, size_t limit,
                               std::string* text, std::string* why,
                               mode_t forbidden) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *why = strerror(errno);
    return bounded_read::failed;
  }
  struct stat st {};
  bounded_read result = bounded_read::done;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "not a regular file";
    result = bounded_read::failed;
  } else if ((st.st_mode & forbidden) != 0) {
    result = bounded_read::forbidden;
  } else {
    char buffer[8192];
    ssize_t n = 0;
    while (text->size() <= limit && (n = read(fd, buffer, sizeof buffer)) > 0)
      text->append(buffer, static_cast<size_t>(n));
    if (n < 0) {
      *why = strerror(errno);
      result = bounded_read::failed;
    } else if (text->size() > limit) {
      result = bounded_read::too_large;
    }
  }
  close(fd);
  return result;
}
