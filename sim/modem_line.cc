#include "sim/modem_line.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
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
  return true;
}

modem_line::~modem_line() {
  // The handler may outlive us inside the testbed; it must not call back.
  g_signal_handlers_disconnect_by_data(handler_, this);
  if (attached_)
    umockdev_testbed_detach_ioctl(testbed_, path_.c_str(), nullptr);
  g_object_unref(handler_);
}

int modem_line::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                         void* self) {
  return static_cast<modem_line*>(self)->handle(client);
}

void modem_line::on_connect(UMockdevIoctlBase*, UMockdevIoctlClient*,
                            void* self) {
  modem_line* line = static_cast<modem_line*>(self);
  std::lock_guard<std::mutex> hold(line->mutex_);
  ++line->opens_;
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
