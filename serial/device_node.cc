// SPDX-License-Identifier: MIT
#include "serial/device_node.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// Where `path` leads, found without opening it: its symbolic links are
// followed one at a time (lstat and readlink, at most 8 hops) to the node
// they end on, whose directory entry is the name ttyname would give once the
// device is open. When the walk cannot finish, realpath does the same in one
// call. True, with `out` and `node` filled, when the path leads to a
// character device.
bool walk_links(const char* path, char* out, size_t size, struct stat* node) {
  if (strlen(path) >= size) return false;
  snprintf(out, size, "%s", path);
  for (int hop = 0; hop < 8; ++hop) {
    // readlink before lstat: a node that is no link answers EINVAL, and an
    // emulated node (umockdev's) may be a link that lstat calls a device.
    char target[PATH_MAX];
    ssize_t length = readlink(out, target, sizeof target);
    if (length < 0) {
      return errno == EINVAL && lstat(out, node) == 0 && S_ISCHR(node->st_mode);
    }
    if (length == 0 || static_cast<size_t>(length) >= sizeof target)
      return false;
    target[length] = '\0';
    // A relative target counts from the link's own folder.
    const char* slash = strrchr(out, '/');
    size_t keep = target[0] == '/' || slash == nullptr
                      ? 0
                      : static_cast<size_t>(slash - out) + 1;
    if (keep + static_cast<size_t>(length) >= size) return false;
    memcpy(out + keep, target, static_cast<size_t>(length) + 1);
  }
  return false;
}

}  // namespace

bool find_device_node(const char* path, char* out, size_t size,
                      struct stat* node) {
  if (walk_links(path, out, size, node)) return true;
  char resolved[PATH_MAX];
  if (size < sizeof resolved || realpath(path, resolved) == nullptr)
    return false;
  snprintf(out, size, "%s", resolved);
  return stat(out, node) == 0 && S_ISCHR(node->st_mode);
}
