// SPDX-License-Identifier: MIT
#include "outlet/lease_store.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "outlet/exact_number.h"
#include "outlet/state_files.h"

namespace {

// "lease 3 alice 1765200000"; false for anything else.
bool parse_lease(const std::string& line, outlet_lease* lease) {
  std::istringstream words(line);
  std::string key, outlet, holder, until, more;
  if (!(words >> key >> outlet >> holder >> until) || (words >> more) ||
      key != "lease")
    return false;
  int number = 0;
  uint64_t at = 0;
  if (!read_whole(outlet, 1, 8, &number) || !valid_holder(holder) ||
      !read_whole(until, uint64_t{0}, uint64_t{1} << 40, &at))
    return false;
  lease->until = static_cast<long long>(at);
  lease->outlet = number;
  lease->holder = holder;
  return true;
}

std::string leases_text(const std::vector<outlet_lease>& leases) {
  std::string text = "# relkad: outlets leased on this box\n";
  for (const outlet_lease& l : leases)
    text += "lease " + std::to_string(l.outlet) + " " + l.holder + " " +
            std::to_string(l.until) + "\n";
  return text;
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

// Puts `text` in place of `path` by rename; no leases: no file.
bool replace_file(const std::string& path, const std::string& text, bool empty,
                  std::string* problem) {
  if (empty) return remove_file(path, problem);
  std::string temporary = path + ".XXXXXX";
  int fd = mkostemp(&temporary[0], O_CLOEXEC);
  if (fd < 0) {
    *problem = system_error("cannot write in " + folder_of(path));
    return false;
  }
  fchmod(fd, 0664);
  bool ok = write_all(fd, text) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temporary.c_str(), path.c_str()) == 0) return true;
  *problem = system_error("cannot write " + path);
  unlink(temporary.c_str());
  return false;
}

// The state folder, flocked for the life of this object.
class folder_lock {
 public:
  explicit folder_lock(const std::string& folder)
      : fd_(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~folder_lock() {
    if (fd_ >= 0) close(fd_);  // the flock goes with it
  }
  folder_lock(const folder_lock&) = delete;
  folder_lock& operator=(const folder_lock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

}  // namespace

std::string lease_path(const std::string& folder, const std::string& identity,
                       int box) {
  return folder + "/" + identity + ".box" + std::to_string(box) + ".lease";
}

bool valid_holder(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' ||
          c == '@'))
      return false;
  return true;
}

std::vector<outlet_lease> read_leases(const std::string& path, long long now,
                                      std::string* problem) {
  std::vector<outlet_lease> leases;
  std::string text;
  if (!read_small_file(path, "lease file", false, &text, problem))
    return leases;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    outlet_lease lease;
    // A line that is no lease is skipped, and dropped by the next change:
    // a damaged file never locks anyone out.
    if (!parse_lease(line, &lease)) continue;
    if (lease.until > now && lease_of(leases, lease.outlet) == nullptr)
      leases.push_back(lease);
  }
  return leases;
}

const outlet_lease* lease_of(const std::vector<outlet_lease>& leases,
                             int outlet) {
  for (const outlet_lease& l : leases)
    if (l.outlet == outlet) return &l;
  return nullptr;
}

const outlet_lease* lease_in_the_way(const std::vector<outlet_lease>& leases,
                                     int outlets, const std::string& user) {
  for (const outlet_lease& l : leases)
    if ((outlets >> (l.outlet - 1)) & 1 && l.holder != user) return &l;
  return nullptr;
}

bool change_leases(
    const std::string& path, long long now,
    const std::function<bool(std::vector<outlet_lease>*)>& change,
    std::string* problem) {
  // A missing folder is made as the state writer makes it.
  make_state_folder(folder_of(path));
  folder_lock lock(folder_of(path));
  if (!lock.held()) {
    *problem = system_error("cannot lock the state folder " + folder_of(path));
    return false;
  }
  std::vector<outlet_lease> leases = read_leases(path, now, problem);
  if (!problem->empty()) return false;
  if (!change(&leases)) return true;
  return replace_file(path, leases_text(leases), leases.empty(), problem);
}

std::string lease_time_text(long long seconds) { return utc_text(seconds); }
