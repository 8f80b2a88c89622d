// SPDX-License-Identifier: MIT
#include "outlet/adapter.h"

#include <dirent.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>

#include "serial/device_node.h"

namespace {

std::string last_entry(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The by-id entry that leads to the character device `rdev`, or "".
std::string by_id_name_of(dev_t rdev) {
  DIR* folder = opendir(serial_by_id_dir);
  if (folder == nullptr) return "";
  std::string found;
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    std::string link = std::string(serial_by_id_dir) + "/" + entry->d_name;
    char node_path[PATH_MAX];
    struct stat node {};
    if (find_device_node(link.c_str(), node_path, sizeof node_path, &node) &&
        node.st_rdev == rdev) {
      found = entry->d_name;
      break;
    }
  }
  closedir(folder);
  return found;
}

}  // namespace

adapter_name name_adapter(const std::string& device) {
  adapter_name name;
  const std::string prefix = std::string(serial_by_id_dir) + "/";
  if (device.compare(0, prefix.size(), prefix) == 0 &&
      device.find('/', prefix.size()) == std::string::npos) {
    name.identity = device.substr(prefix.size());
    name.by_id = true;
  }
  char node_path[PATH_MAX];
  struct stat node {};
  if (!find_device_node(device.c_str(), node_path, sizeof node_path, &node))
    return name;
  name.terminal = last_entry(node_path);
  if (!name.by_id) {
    name.identity = by_id_name_of(node.st_rdev);
    name.by_id = !name.identity.empty();
  }
  if (!name.by_id) name.identity = name.terminal;
  return name;
}

adapter_name name_open_adapter(const std::string& device,
                               const std::string& terminal) {
  adapter_name name = name_adapter(device);
  if (name.terminal.empty()) name.terminal = terminal;
  if (name.identity.empty()) name.identity = name.terminal;
  return name;
}
