// SPDX-License-Identifier: MIT
#include "outlet/outlet_state.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <sstream>

#include "outlet/access_advice.h"

namespace {

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string system_error(const std::string& what) {
  return what + ": " + strerror(errno);
}

// A refusal of the state folder, with what would let this user in.
std::string folder_error(const std::string& what, const std::string& folder) {
  int error = errno;
  std::string text = what + ": " + strerror(error);
  if (error == EACCES || error == EPERM)
    text += "; " + access_advice(read_access_facts(folder, access_kind::folder));
  else if (error == EROFS)
    text += "; give --state-dir a folder on a writable file system";
  return text;
}

// A whole decimal number in [low, high].
bool parse_int(const std::string& text, int low, int high, int* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long parsed = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  *value = static_cast<int>(parsed);
  return true;
}

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string state_path(const std::string& folder, const std::string& identity,
                       int box) {
  return folder + "/" + identity + ".box" + std::to_string(box);
}

std::string find_state_by_device(const std::string& folder,
                                 const std::string& device, int box) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return "";
  const std::string ending = ".box" + std::to_string(box);
  std::string found;
  int matches = 0;
  while (const dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() <= ending.size() ||
        name.compare(name.size() - ending.size(), ending.size(), ending) != 0)
      continue;
    std::string problem;
    std::string path = folder;
    path.append("/").append(name);
    outlet_state state = read_state(path, &problem);
    if (state.known && state.device == device && state.box == box) {
      found = path;
      ++matches;
    }
  }
  closedir(dir);
  return matches == 1 ? found : "";
}

outlet_state read_state(const std::string& path, std::string* problem) {
  outlet_state state;
  problem->clear();
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) *problem = system_error("cannot read " + path);
    return state;
  }
  struct stat st {};
  std::string text;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 4096) {
    close(fd);
    *problem = path + " is not a state file";
    return state;
  }
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(n));
  close(fd);

  bool has_mask = false;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    size_t space = line.find(' ');
    std::string key = line.substr(0, space);
    std::string value =
        space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "mask") {
      has_mask = parse_int(value, 0, 255, &state.mask);
      if (!has_mask) break;
    } else if (key == "device") {
      state.device = value;
    } else if (key == "terminal") {
      state.terminal = value;
    } else if (key == "identity") {
      state.identity = value;
    } else if (key == "cycle") {
      int outlet = 0, pid = 0;
      size_t gap = value.find(' ');
      if (gap != std::string::npos &&
          parse_int(value.substr(0, gap), 1, 8, &outlet) &&
          parse_int(value.substr(gap + 1), 1, 0x7fffffff, &pid))
        state.cycling[outlet - 1] = pid;
    } else if (key == "box") {
      if (!parse_int(value, 0, 127, &state.box)) break;
    } else if (key == "set") {
      state.set_at = value;
    }
  }
  if (!has_mask) {
    *problem = path + " holds no valid mask";
    return outlet_state();
  }
  state.known = true;
  return state;
}

std::string state_text(const outlet_state& state) {
  std::string text =
      "# relkactl: outlets last set on this box; the box cannot be read "
      "back\n";
  auto line = [&text](const char* key, const std::string& value) {
    text.append(key).append(" ").append(value).append("\n");
  };
  line("device", state.device);
  line("terminal", state.terminal);
  line("identity", state.identity);
  line("box", std::to_string(state.box));
  line("mask", std::to_string(state.mask));
  line("set", state.set_at);
  for (int outlet = 1; outlet <= 8; ++outlet)
    if (state.cycling[outlet - 1] > 0)
      line("cycle", std::to_string(outlet) + " " +
                        std::to_string(state.cycling[outlet - 1]));
  return text;
}

std::string utc_now() {
  time_t now = time(nullptr);
  struct tm utc {};
  gmtime_r(&now, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

state_writer::~state_writer() {
  if (fd_ >= 0) close(fd_);
  if (!temporary_.empty()) unlink(temporary_.c_str());
}

bool state_writer::prepare(const std::string& path, std::string* problem) {
  path_ = path;
  std::string folder = folder_of(path);
  // A missing folder is made (the package makes it with the right group).
  // Only a missing one: a service with RestrictSUIDSGID (every DynamicUser
  // unit, pdudaemon's and relkad's) is refused any mkdir that asks for the
  // set-group-ID bit, also where the folder is there.
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0 &&
      mkdir(folder.c_str(), 02775) != 0 && errno != EEXIST) {
    *problem = folder_error("cannot make the state folder " + folder, folder);
    return false;
  }
  std::string pattern = path + ".XXXXXX";
  fd_ = mkostemp(&pattern[0], O_CLOEXEC);
  if (fd_ < 0) {
    *problem = folder_error("cannot write in the state folder " + folder, folder);
    return false;
  }
  temporary_ = pattern;
  return true;
}

bool state_writer::commit(const outlet_state& state, std::string* problem) {
  if (fd_ < 0) return false;
  // Readable by all, like the lock files; the folder's group may write.
  fchmod(fd_, 0664);
  bool ok = write_all(fd_, state_text(state)) && fsync(fd_) == 0;
  if (!ok) *problem = system_error("cannot write " + temporary_);
  int closed = close(fd_);
  fd_ = -1;
  if (ok && closed != 0) {
    ok = false;
    *problem = system_error("cannot write " + temporary_);
  }
  if (ok && rename(temporary_.c_str(), path_.c_str()) != 0) {
    ok = false;
    *problem = system_error("cannot replace " + path_);
  }
  if (!ok) return false;
  temporary_.clear();
  // The rename itself reaches the disk with the folder.
  int folder =
      open(folder_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
  return true;
}

bool forget_state(const std::string& path, std::string* problem) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  *problem = system_error("cannot remove " + path);
  return false;
}
