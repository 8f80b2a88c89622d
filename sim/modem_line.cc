// SPDX-License-Identifier: MIT
#include "sim/modem_line.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <umockdev.h>

#include <utility>

#include "serial/rs232.h"

namespace {

// Reads or writes the int that a TIOCMGET/TIOCMSET argument points to.
bool exchange_word(UMockdevIoctlClient* client, int* word, bool to_client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  g_autoptr(UMockdevIoctlData) data =
      umockdev_ioctl_data_resolve(arg, 0, sizeof(int), nullptr);
  if (data == nullptr) return false;
  if (to_client)
    memcpy(data->data, word, sizeof(int));
  else
    memcpy(word, data->data, sizeof(int));
  return true;
}

}  // namespace

modem_line::modem_line(UMockdevTestbed* testbed, std::string path, int word)
    : testbed_(testbed),
      handler_(umockdev_ioctl_base_new()),
      path_(std::move(path)),
      far_end_(umockdev_testbed_get_dev_fd(testbed, path_.c_str())),
      word_(word) {
  char name[128] = "";
  if (far_end_ >= 0 && ptsname_r(far_end_, name, sizeof name) == 0)
    terminal_ = name;
  // A serial port starts as the kernel's serial core sets one up: 9600
  // baud, 8 bits, receiver on, modem status ignored, and hang-up on the last
  // close. A pseudo-terminal starts without HUPCL.
  termios settings{};
  if (far_end_ >= 0 && tcgetattr(far_end_, &settings) == 0) {
    settings.c_cflag = CS8 | CREAD | HUPCL | CLOCAL;
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    tcsetattr(far_end_, TCSANOW, &settings);
  }
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&modem_line::on_ioctl),
                   this);
  g_signal_connect(handler_, "client-connected",
                   G_CALLBACK(&modem_line::on_connect), this);
}

bool modem_line::attach() {
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, path_.c_str(), handler_,
                                     &error)) {
    fprintf(stderr, "relka-sim: cannot attach modem lines to %s: %s\n",
            path_.c_str(), error->message);
    g_error_free(error);
    return false;
  }
  attached_ = true;
  if (far_end_ >= 0) watcher_ = std::thread(&modem_line::watch_closes, this);
  return true;
}

modem_line::~modem_line() {
  // The handler may outlive us inside the testbed; it must not call back.
  g_signal_handlers_disconnect_by_data(handler_, this);
  if (attached_)
    umockdev_testbed_detach_ioctl(testbed_, path_.c_str(), nullptr);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  opened_.notify_all();
  if (watcher_.joinable()) watcher_.join();
  g_object_unref(handler_);
}

int modem_line::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                         void* self) {
  return static_cast<modem_line*>(self)->handle(client);
}

namespace {

// The terminal settings of the port's side: on a pseudo-terminal's master
// the termios requests reach the slave's settings, which are the ones the
// port's own tcsetattr changed.
bool port_settings(int far_end, termios* settings) {
  return far_end >= 0 && tcgetattr(far_end, settings) == 0;
}

}  // namespace

void modem_line::on_connect(UMockdevIoctlBase*, UMockdevIoctlClient*,
                            void* self) {
  modem_line* line = static_cast<modem_line*>(self);
  {
    std::lock_guard<std::mutex> hold(line->mutex_);
    ++line->opens_;
    line->open_ = true;
    termios settings{};
    if (port_settings(line->far_end_, &settings) &&
        cfgetospeed(&settings) != B0)
      line->driver_sets_lines(true, line_change::driver_open);
  }
  line->opened_.notify_all();
}

namespace {

// True once no process has the port's side open: the far end then reads
// as hung up. Asks for no event, so no byte waiting there is touched.
bool far_end_hung_up(int far_end, int timeout_ms) {
  pollfd end = {far_end, 0, 0};
  return poll(&end, 1, timeout_ms) > 0 && (end.revents & POLLHUP) != 0;
}

}  // namespace

void modem_line::watch_closes() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    opened_.wait(hold, [this] { return open_ || stopping_; });
    if (stopping_) return;
    hold.unlock();
    bool hung_up = far_end_hung_up(far_end_, 50);
    hold.lock();
    // Looked at again under the lock: an open seen meanwhile must not be
    // taken for closed.
    if (!hung_up || !open_ || !far_end_hung_up(far_end_, 0)) continue;
    open_ = false;
    termios settings{};
    if (port_settings(far_end_, &settings) && (settings.c_cflag & HUPCL) != 0)
      driver_sets_lines(false, line_change::driver_close);
  }
}

void modem_line::driver_sets_lines(bool up, line_change::cause_kind cause) {
  int word = up ? word_ | TIOCM_DTR | TIOCM_RTS
                : word_ & ~(TIOCM_DTR | TIOCM_RTS);
  if (word == word_) return;
  word_ = word;
  changes_.push_back({g_get_monotonic_time(), word, cause});
}

bool modem_line::handle(UMockdevIoctlClient* client) {
  gulong request = umockdev_ioctl_client_get_request(client);
  if (request != TIOCMGET && request != TIOCMSET) return false;
  if (request == TIOCMSET) {
    int delay = 0;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      delay = delay_us_;
    }
    if (delay > 0) g_usleep(delay);
  }
  std::lock_guard<std::mutex> hold(mutex_);
  bool unplugged = writes_left_ == 0;
  if (request == TIOCMGET) {
    ++gets_;
    if (fail_get_ || unplugged || !exchange_word(client, &word_, true)) {
      umockdev_ioctl_client_complete(client, -1, EIO);
      return true;
    }
  } else {
    int written = 0;
    if (fail_set_ || unplugged || !exchange_word(client, &written, false)) {
      umockdev_ioctl_client_complete(client, -1, EIO);
      return true;
    }
    word_ = written;
    changes_.push_back({g_get_monotonic_time(), written});
    if (writes_left_ > 0) --writes_left_;
  }
  umockdev_ioctl_client_complete(client, 0, 0);
  return true;
}

int modem_line::word() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return word_;
}

void modem_line::set_word(int word) {
  std::lock_guard<std::mutex> hold(mutex_);
  word_ = word;
}

void modem_line::fail_get(bool fail) {
  std::lock_guard<std::mutex> hold(mutex_);
  fail_get_ = fail;
}

void modem_line::fail_set(bool fail) {
  std::lock_guard<std::mutex> hold(mutex_);
  fail_set_ = fail;
}

void modem_line::set_delay(int microseconds) {
  std::lock_guard<std::mutex> hold(mutex_);
  delay_us_ = microseconds;
}

void modem_line::unplug_after(int writes) {
  std::lock_guard<std::mutex> hold(mutex_);
  writes_left_ = writes;
}

std::vector<line_change> modem_line::changes() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return changes_;
}

int modem_line::get_count() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return gets_;
}

int modem_line::open_count() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return opens_;
}

bool modem_line::is_open() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return open_;
}

bool modem_line::closed_after(int ms) const {
  std::int64_t until = g_get_monotonic_time() + std::int64_t{ms} * 1000;
  while (is_open() && g_get_monotonic_time() < until) g_usleep(2000);
  return !is_open();
}

int modem_line::open_count_after(int expected, int ms) const {
  std::int64_t until = g_get_monotonic_time() + std::int64_t{ms} * 1000;
  while (open_count() < expected && g_get_monotonic_time() < until)
    g_usleep(2000);
  return open_count();
}

void modem_line::clear_record() {
  std::lock_guard<std::mutex> hold(mutex_);
  changes_.clear();
  gets_ = 0;
  opens_ = 0;
}

std::string modem_line::lock_path() const {
  size_t slash = terminal_.rfind('/');
  return uucp_lock_prefix + terminal_.substr(slash + 1);
}
