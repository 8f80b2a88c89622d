// SPDX-License-Identifier: MIT
// Captures what this process writes on one of its descriptors for as long
// as the capture lives, and puts the descriptor back when it goes, also when
// an assertion ends the test early.
#ifndef RELKA_TESTS_CAPTURE_H_
#define RELKA_TESTS_CAPTURE_H_

#include <stdio.h>
#include <unistd.h>

#include <string>

class fd_capture {
 public:
  // 1 for standard output, 2 for standard error.
  explicit fd_capture(int fd) : fd_(fd) {
    fflush(nullptr);
    file_ = tmpfile();
    saved_ = dup(fd_);
    if (file_ != nullptr && saved_ >= 0) dup2(fileno(file_), fd_);
  }
  ~fd_capture() { stop(); }
  fd_capture(const fd_capture&) = delete;
  fd_capture& operator=(const fd_capture&) = delete;

  // Ends the capture and returns what was written meanwhile.
  std::string text() {
    stop();
    std::string out;
    if (file_ == nullptr) return out;
    rewind(file_);
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0)
      out.append(buffer, n);
    fclose(file_);
    file_ = nullptr;
    return out;
  }

 private:
  void stop() {
    if (saved_ < 0) return;
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
  }

  int fd_;
  FILE* file_ = nullptr;
  int saved_ = -1;
};

#endif  // RELKA_TESTS_CAPTURE_H_
