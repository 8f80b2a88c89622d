// SPDX-License-Identifier: MIT
#include "outlet/outlet_state.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>


#include "outlet/access_advice.h"
#include "outlet/state_files.h"
#include "serial/process_alive.h"

namespace {

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

}  // namespace

const char* state_dir_from_env() {
  const char* folder = getenv("RELKA_STATE_DIR");
  return folder != nullptr && folder[0] != '\0' ? folder : default_state_dir;
}

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

namespace {

// "5", or "-" for a mask not known.
std::string mask_or_dash(int mask) {
  return mask < 0 ? "-" : std::to_string(mask);
}

// "switching FROM TO PID"'s value.
bool parse_under_way(const std::string& value, switch_under_way* out) {
  size_t first = value.find(' '), second = value.rfind(' ');
  if (first == std::string::npos || second == first) return false;
  std::string from = value.substr(0, first);
  std::string to = value.substr(first + 1, second - first - 1);
  std::string pid = value.substr(second + 1);
  switch_under_way w;
  if (
      !(from == "-" || parse_int(from, 0, 255, &w.from)) ||
      !parse_int(to, 0, 255, &w.to) || !parse_int(pid, 1, 0x7fffffff, &w.pid))
    return false;
  *out = w;
  return true;
}

outlet_state parse_state(const std::string& text, const std::string& path,
                         std::string* problem) {
  outlet_state state;
  bool has_mask = false, bad = false;
  for (size_t at = 0, end = 0; !bad && at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    if (line.empty() || line[0] == '#') continue;
    size_t space = line.find(' ');
    std::string key = line.substr(0, space);
    std::string value =
        space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "mask") {
      has_mask = parse_int(value, 0, 255, &state.mask);
      bad = !has_mask;
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
      bad = !parse_int(value, 0, 127, &state.box);
    } else if (key == "set") {
      state.set_at = value;
    } else if (key == "switching") {
      bad = !parse_under_way(value, &state.under_way);
    }
  }
  // A switch that never finished: unknown, but its marks still count.
  if (!bad && state.under_way.pid > 0) {
    state.mask = 0;
    state.set_at.clear();
    return state;
  }
  if (bad || !has_mask) {
    *problem = path + " holds no valid mask";
    return outlet_state();
  }
  state.known = true;
  return state;
}

}  // namespace

outlet_state read_state(const std::string& path, std::string* problem) {
  outlet_state state;
  for (int look = 0; look < 2; ++look) {
    std::string text;
    if (!read_small_file(path, "state file", true, &text, problem))
      return outlet_state();
    state = parse_state(text, path, problem);
    // A switch writes its new mask before it exits: a record whose process
    // is gone by now may have been replaced since it was read, so only a
    // second look that still finds it says the switch was never finished.
    if (state.under_way.pid <= 0 || switching_now(state)) break;
  }
  return state;
}

outlet_state under_way_from(const outlet_state& old,
                            const outlet_state& next) {
  outlet_state marked = next;
  marked.known = false;
  marked.under_way.pid = getpid();
  marked.under_way.from = old.known ? old.mask : -1;
  marked.under_way.to = next.mask;
  return marked;
}

outlet_state sent_state(outlet_state next, const std::string& device,
                        const std::string& terminal,
                        const std::string& identity, int box) {
  next.known = true;
  next.device = device;
  next.terminal = terminal;
  next.identity = identity;
  next.box = box;
  next.set_at = utc_now();
  next.under_way = switch_under_way();
  return next;
}

std::string mask_hex(int mask) {
  char text[8];
  snprintf(text, sizeof text, "0x%02x", static_cast<unsigned>(mask) & 0xffu);
  return text;
}

bool switching_now(const outlet_state& state) {
  int pid = state.under_way.pid;
  return pid > 0 && pid != getpid() && process_alive(pid);
}

std::string under_way_words(const outlet_state& state) {
  const switch_under_way& w = state.under_way;
  return "the switch of box " + std::to_string(state.box) + " from " +
         (w.from >= 0 ? mask_hex(w.from) : "an unknown mask") + " to " +
         mask_hex(w.to) + " by process " + std::to_string(w.pid) +
         (switching_now(state) ? " is under way" : " was never finished");
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
  const switch_under_way& w = state.under_way;
  if (w.pid > 0)
    line("switching", mask_or_dash(w.from) + " " + std::to_string(w.to) +
                          " " + std::to_string(w.pid));
  else
    line("mask", std::to_string(state.mask));
  line("set", state.set_at);
  for (int outlet = 1; outlet <= 8; ++outlet)
    if (state.cycling[outlet - 1] > 0)
      line("cycle", std::to_string(outlet) + " " +
                        std::to_string(state.cycling[outlet - 1]));
  return text;
}

std::string utc_now() {
  return utc_text(static_cast<long long>(time(nullptr)));
}

namespace {

// Whole 512-byte blocks: a write of the same length over the old text
// leaves no tail of it, and one write within a page is taken whole or not
// at all, also by a kill.
std::string padded(std::string text) {
  size_t need = (512 - text.size() % 512) % 512;
  if (need == 1) need += 512;
  if (need > 0) text.append("#").append(need - 2, ' ').append("\n");
  return text;
}

bool same_file(int fd, const std::string& path) {
  struct stat held {}, named {};
  return fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

state_change::~state_change() {
  if (fd_ >= 0) close(fd_);
}

bool state_change::open(const std::string& path, bool make_folder,
                        std::string* problem) {
  path_ = path;
  std::string folder = folder_of(path);
  // A missing folder is made (the package makes it with the right group).
  if (make_folder && !make_state_folder(folder)) {
    *problem = folder_error("cannot make the state folder " + folder, folder);
    return false;
  }
  return open_path(problem);
}

bool state_change::open_path(std::string* problem) {
  if (fd_ >= 0) close(fd_);
  const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  fd_ = ::open(path_.c_str(), flags);
  // Another user's file that we may not write, or a symbolic link put in
  // its place: the folder's group may replace it.
  if (fd_ < 0 && (errno == EACCES || errno == EPERM || errno == ELOOP) &&
      unlink(path_.c_str()) == 0)
    errno = ENOENT;
  created_ = fd_ < 0 && errno == ENOENT;
  if (created_) fd_ = ::open(path_.c_str(), flags | O_CREAT | O_EXCL, 0664);
  struct stat st {};
  if (fd_ >= 0 && (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd_);
    fd_ = -1;
    errno = EINVAL;
  }
  if (fd_ < 0) {
    if (problem != nullptr)
      *problem = folder_error(
          "cannot write in the state folder " + folder_of(path_),
          folder_of(path_));
    return false;
  }
  size_ = st.st_size;
  // Readable by all, like the lock files; the folder's group may write.
  if (created_) fchmod(fd_, 0664);
  return true;
}

outlet_state state_change::held() {
  char text[4096];
  ssize_t n = fd_ >= 0 && size_ <= static_cast<off_t>(sizeof text)
                  ? pread(fd_, text, sizeof text, 0)
                  : -1;
  std::string problem;
  if (n <= 0) return outlet_state();
  return parse_state(std::string(text, static_cast<size_t>(n)), path_,
                     &problem);
}

bool state_change::begin(const outlet_state& old, const outlet_state& next,
                         std::string* problem) {
  next_ = next;
  // A forget in between leaves the mark on a removed file: unknown too.
  return write(under_way_from(old, next), false, false, problem);
}

bool state_change::done(bool sync, std::string* problem) {
  return write(next_, sync, true, problem);
}

void state_change::failed() {
  std::string problem;
  forget_state(path_, &problem);
}

bool state_change::write(const outlet_state& state, bool sync, bool follow,
                         std::string* problem) {
  if (fd_ < 0) return false;
  const std::string text = padded(state_text(state));
  for (int tries = 0;; ++tries) {
    flock(fd_, LOCK_EX);
    if (!follow || same_file(fd_, path_)) break;
    // A forget removed it since: the switch's newer state is the truth.
    flock(fd_, LOCK_UN);
    if (tries == 2 || !open_path(problem)) return false;
  }
  const off_t size = static_cast<off_t>(text.size());
  const bool ok =
      pwrite(fd_, text.data(), text.size(), 0) ==
          static_cast<ssize_t>(text.size()) &&
      (size_ == size || ftruncate(fd_, size) == 0) &&
      (!sync || fsync(fd_) == 0);
  if (!ok) *problem = system_error("cannot write " + path_);
  size_ = ok ? size : -1;
  flock(fd_, LOCK_UN);
  if (ok && sync && created_) {
    // The new name reaches the disk with the folder.
    int folder =
        ::open(folder_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
      fsync(folder);
      close(folder);
    }
    created_ = false;
  }
  return ok;
}

bool forget_state(const std::string& path, std::string* problem) {
  return remove_file(path, problem);
}
