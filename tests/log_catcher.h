// SPDX-License-Identifier: MIT
// Catches what a program sends to syslog: the program runs in a mount
// namespace of its own whose /dev is a private folder holding the real
// /dev/null, /dev/zero, /dev/urandom and /dev/pts, and, as /dev/log, a
// datagram socket this object reads. Nothing of it is seen outside that
// namespace. Needs root, or unprivileged user namespaces.
#ifndef RELKA_TESTS_LOG_CATCHER_H_
#define RELKA_TESTS_LOG_CATCHER_H_

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/line_fixture.h"

class log_catcher {
 public:
  log_catcher() {
    for (const char* node : {"null", "zero", "urandom"})
      write_file(dev_.file(node), "");
    mkdir(dev_.file("pts").c_str(), 0755);
    socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s",
             dev_.file("log").c_str());
    bound_ =
        socket_ >= 0 && bind(socket_, reinterpret_cast<sockaddr*>(&address),
                             sizeof address) == 0;
    chmod(dev_.file("log").c_str(), 0666);
  }
  ~log_catcher() {
    if (socket_ >= 0) close(socket_);
  }
  log_catcher(const log_catcher&) = delete;
  log_catcher& operator=(const log_catcher&) = delete;

  // Runs `program` with `args` in the namespace; its exit status, or -1
  // when the namespace could not be made (`why` says so).
  int run(const std::string& program, const std::vector<std::string>& args,
          std::string* why) {
    std::vector<std::string> words = {program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    const std::string dev = dev_.path();
    const std::vector<std::string> from = {"/dev/null", "/dev/zero",
                                           "/dev/urandom"};
    const std::vector<std::string> into = {dev_.file("null"), dev_.file("zero"),
                                           dev_.file("urandom")};
    const std::string pts = dev + "/pts";
    const std::string uid_map = "0 " + std::to_string(getuid()) + " 1";
    const std::string gid_map = "0 " + std::to_string(getgid()) + " 1";
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
      close(report[0]);
      // Only system calls from here on: this process was forked from a
      // threaded one.
      int step = 0;
      if (unshare(CLONE_NEWNS) != 0) {
        step = 1;
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
            map_to_root(uid_map, gid_map))
          step = 0;
      }
      if (step == 0 &&
          mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        step = 2;
      for (size_t i = 0; step == 0 && i < from.size(); ++i)
        if (mount(from[i].c_str(), into[i].c_str(), nullptr, MS_BIND,
                  nullptr) != 0)
          step = 3;
      if (step == 0 && mount("/dev/pts", pts.c_str(), nullptr, MS_BIND | MS_REC,
                             nullptr) != 0)
        step = 4;
      if (step == 0 &&
          mount(dev.c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0)
        step = 5;
      if (step != 0) {
        char code = static_cast<char>(step);
        (void)!write(report[1], &code, 1);
        _exit(126);
      }
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(report[1]);
    char failed = 0;
    bool said = read(report[0], &failed, 1) == 1;
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (said) {
      *why = "cannot make a mount namespace for /dev/log (step " +
             std::to_string(failed) + "): not root, and no user namespaces";
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // The next line that reached /dev/log, waiting up to `ms`; "" if none.
  std::string next_line(int ms = 1000) {
    timeval wait = {ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char text[2048];
    ssize_t n = recv(socket_, text, sizeof text - 1, 0);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : "";
  }

  bool ready() const { return bound_; }

 private:
  // In a new user namespace: this user and group become root there.
  static bool map_to_root(const std::string& uid_map,
                          const std::string& gid_map) {
    int fd = open("/proc/self/setgroups", O_WRONLY);
    if (fd >= 0) {
      (void)!write(fd, "deny", 4);
      close(fd);
    }
    return write_proc("/proc/self/uid_map", uid_map) &&
           write_proc("/proc/self/gid_map", gid_map);
  }
  static bool write_proc(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) ==
              static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
  }

  scoped_folder dev_;
  int socket_ = -1;
  bool bound_ = false;
};

#endif  // RELKA_TESTS_LOG_CATCHER_H_
