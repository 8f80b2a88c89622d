// SPDX-License-Identifier: MIT
// What to tell a user who was refused a device or the state folder.
//
// The advice follows the kernel's own check: the owner's bits if the user
// owns the file, else the group's bits if the group is among the user's
// groups, else the others' bits. Two lists of groups matter: the ones this
// process holds (getgroups, fixed when the user logged in) and the ones the
// group database gives the user now. A group the database has and the
// process lacks was added after login: "log in again", not "join". A file
// only root may use needs a udev rule (a device) or the tmpfiles entry (the
// state folder), never a group that would not help.
//
// access_advice is a pure function of those facts, so every row of the
// table can be tried without root; read_access_facts gathers them.
#ifndef RELKA_OUTLET_ACCESS_ADVICE_H_
#define RELKA_OUTLET_ACCESS_ADVICE_H_

#include <sys/types.h>

#include <string>
#include <vector>

enum class access_kind {
  device,  // read and write
  folder,  // write and search, to make a file in it
};

struct access_facts {
  access_kind kind = access_kind::device;
  std::string path;
  bool exists = true;     // a folder that is missing is made, if its parent lets
  bool reachable = true;  // false: a folder on the path keeps the user out
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;
  std::string owner_name;  // "root"
  std::string group_name;  // "dialout"
  uid_t user = 0;
  std::vector<gid_t> session_groups;   // this process's (getgroups and gid)
  std::vector<gid_t> database_groups;  // the user's in the group database
};

// The advice after "permission denied; ", without a full stop.
std::string access_advice(const access_facts& facts);

// The facts of `path` and of the user running this process.
access_facts read_access_facts(const std::string& path, access_kind kind);

#endif  // RELKA_OUTLET_ACCESS_ADVICE_H_
