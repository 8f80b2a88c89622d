// SPDX-License-Identifier: MIT
#include "outlet/access_advice.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

bool has(const std::vector<gid_t>& groups, gid_t group) {
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

// The bits of one rwx triple the use needs.
unsigned needed(access_kind kind) {
  return kind == access_kind::device ? 06u : 03u;
}

const char* verb(access_kind kind) {
  return kind == access_kind::device ? "open" : "write in";
}

// "root:dialout, mode 0640"
std::string ownership(const access_facts& f) {
  char mode[16];
  snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(f.mode) & 07777u);
  return f.owner_name + ":" + f.group_name + ", mode " + mode;
}

// What lets a group in where the mode keeps everyone else out.
std::string widen(access_kind kind) {
  if (kind == access_kind::device)
    return "a udev rule with GROUP=\"dialout\", MODE=\"0660\" lets the group "
           "dialout in (see /usr/share/doc/relka/examples/60-relka.rules)";
  return "'sudo systemd-tmpfiles --create relka.conf' makes it for the group "
         "dialout, or give --state-dir a folder of your own";
}

std::string not_the_mode(const access_facts& f) {
  return "its owner, group and mode let you in (" + ownership(f) +
         "): something else refuses, such as an ACL, a security module or a "
         "read-only file system";
}

}  // namespace

std::string access_advice(const access_facts& f) {
  if (!f.reachable)
    return "a folder on the way keeps you out ('namei -l " + f.path +
           "' shows each one's owner and mode)";
  if (!f.exists) return "it is missing and cannot be made: " + widen(f.kind);
  if (f.user == 0) return not_the_mode(f);
  unsigned need = needed(f.kind);
  auto may = [&](int shift) {
    return ((static_cast<unsigned>(f.mode) >> shift) & need) == need;
  };
  if (f.user == f.owner)
    return may(6) ? not_the_mode(f)
                  : "it is yours, but its mode keeps you out (" +
                        ownership(f) + "): 'chmod u+" +
                        (f.kind == access_kind::device ? "rw" : "wx") + " " +
                        f.path + "'";
  if (has(f.session_groups, f.group))
    return may(3) ? not_the_mode(f)
                  : "your group " + f.group_name + " may not " + verb(f.kind) +
                        " it (" + ownership(f) + "): " + widen(f.kind);
  if (may(0)) return not_the_mode(f);
  if (may(3) && f.group != 0) {
    if (has(f.database_groups, f.group))
      return "you joined the group " + f.group_name +
             " after this login began: log in again (or run 'newgrp " +
             f.group_name + "')";
    return "join the group " + f.group_name + " ('sudo adduser $USER " +
           f.group_name + "') and log in again";
  }
  return "only " + f.owner_name + " may " + verb(f.kind) + " it (" +
         ownership(f) + "): " + widen(f.kind);
}

namespace {

std::string user_called(uid_t uid) {
  passwd entry{}, *found = nullptr;
  char buffer[4096];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
    return found->pw_name;
  return std::to_string(uid);
}

std::string group_called(gid_t gid) {
  group entry{}, *found = nullptr;
  char buffer[4096];
  if (getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found)
    return found->gr_name;
  return std::to_string(gid);
}

std::vector<gid_t> session_groups() {
  std::vector<gid_t> groups(256);
  int n = getgroups(static_cast<int>(groups.size()), groups.data());
  groups.resize(n > 0 ? static_cast<size_t>(n) : 0);
  groups.push_back(getegid());
  return groups;
}

std::vector<gid_t> database_groups(uid_t uid) {
  passwd entry{}, *found = nullptr;
  char buffer[4096];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || !found)
    return {};
  std::vector<gid_t> groups(256);
  int n = static_cast<int>(groups.size());
  if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &n) < 0)
    return {};
  groups.resize(static_cast<size_t>(n));
  return groups;
}

}  // namespace

access_facts read_access_facts(const std::string& path, access_kind kind) {
  access_facts f;
  f.kind = kind;
  f.path = path;
  f.user = geteuid();
  f.session_groups = session_groups();
  f.database_groups = database_groups(f.user);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    (errno == ENOENT ? f.exists : f.reachable) = false;
    return f;
  }
  f.owner = st.st_uid;
  f.group = st.st_gid;
  f.mode = st.st_mode;
  f.owner_name = user_called(st.st_uid);
  f.group_name = group_called(st.st_gid);
  return f;
}
