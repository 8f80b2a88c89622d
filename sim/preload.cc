// SPDX-License-Identifier: MIT
#include "sim/preload.h"

#include <dlfcn.h>
#include <string.h>
#include <umockdev.h>
#include <unistd.h>

const char umockdev_preload_name[] = "libumockdev-preload.so.0";

bool under_umockdev_preload() {
  Dl_info info{};
  void* ioctl_fn = dlsym(RTLD_DEFAULT, "ioctl");
  return ioctl_fn != nullptr && dladdr(ioctl_fn, &info) != 0 &&
         info.dli_fname != nullptr &&
         strstr(info.dli_fname, umockdev_preload_name) != nullptr;
}

std::string umockdev_preload_library() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&umockdev_testbed_new), &info) == 0 ||
      info.dli_fname == nullptr)
    return "";
  std::string folder = info.dli_fname;
  size_t slash = folder.rfind('/');
  folder = slash == std::string::npos ? "." : folder.substr(0, slash);
  std::string candidate = folder + "/" + umockdev_preload_name;
  return access(candidate.c_str(), R_OK) == 0 ? candidate : "";
}
