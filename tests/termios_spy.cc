// SPDX-License-Identifier: MIT
#include "tests/termios_spy.h"

#include <dlfcn.h>

#include <mutex>

namespace {

std::mutex g_mutex;
std::vector<termios_request> g_requests;

}  // namespace

std::vector<termios_request> termios_requests() {
  std::lock_guard<std::mutex> hold(g_mutex);
  return g_requests;
}

void clear_termios_requests() {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_requests.clear();
}

// Takes the place of the C library's tcsetattr in the test program, then
// hands the request on unchanged.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int tcsetattr(int fd, int action, const struct termios* settings) {
  using real_fn = int (*)(int, int, const struct termios*);
  static real_fn real =
      reinterpret_cast<real_fn>(dlsym(RTLD_NEXT, "tcsetattr"));
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_requests.push_back({fd, action, *settings});
  }
  return real(fd, action, settings);
}
