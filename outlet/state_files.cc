// SPDX-License-Identifier: MIT
#include "outlet/state_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
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

bool make_state_folder(const std::string& folder) {
  struct stat st {};
  return stat(folder.c_str(), &st) == 0 ||
         mkdir(folder.c_str(), 02775) == 0 || errno == EEXIST;
}

std::string utc_text(long long since_1970) {
  // By hand: glibc's gmtime_r reads /etc/localtime first, seven system
  // calls for a time zone that UTC does not need (relka's run is timed).
  long long days = since_1970 / 86400,
            seconds = since_1970 % 86400;
  if (seconds < 0) seconds += 86400, --days;
  // Days since 1970-01-01 to a civil date (proleptic Gregorian).
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long day_of_era = days - era * 146097;
  const long long year_of_era = (day_of_era - day_of_era / 1460 +
                                 day_of_era / 36524 - day_of_era / 146096) /
                                365;
  const long long day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const long long mp = (5 * day_of_year + 2) / 153;
  const long long day = day_of_year - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  char text[128];
  snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
           year, month, day, seconds / 3600, seconds / 60 % 60, seconds % 60);
  return text;
}
