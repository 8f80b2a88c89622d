// SPDX-License-Identifier: MIT
// The advice for a refused device or state folder, from its owner, group
// and mode and the user's groups: one row per situation a user meets.
#include "outlet/access_advice.h"

#include <gtest/gtest.h>

#include "tests/case_name.h"

namespace {

constexpr uid_t kAlice = 1000;
constexpr gid_t kDialout = 20;
constexpr gid_t kAliceGroup = 1000;

struct advice_case {
  const char* name;
  access_kind kind;
  uid_t owner;
  gid_t group;
  mode_t mode;
  std::vector<gid_t> session;   // the groups of this login
  std::vector<gid_t> database;  // the groups the user has now
  std::string says;             // the advice starts so
  const char* never;            // and never says this
  bool missing = false;         // the folder is not there
  bool hidden = false;          // a folder on the way keeps the user out
};

void PrintTo(const advice_case& c, std::ostream* os) { *os << c.name; }

class access_advice_test : public testing::TestWithParam<advice_case> {};

TEST_P(access_advice_test, AdvisesWhatWouldLetTheUserIn) {
  const advice_case& c = GetParam();
  access_facts f;
  f.kind = c.kind;
  f.path = "/dev/ttyUSB0";
  f.owner = c.owner;
  f.group = c.group;
  f.mode = c.mode;
  f.owner_name = c.owner == 0 ? "root" : "alice";
  f.group_name = c.group == 0 ? "root" : "dialout";
  f.user = kAlice;
  f.session_groups = c.session;
  f.database_groups = c.database;
  f.exists = !c.missing;
  f.reachable = !c.hidden;
  std::string advice = access_advice(f);
  EXPECT_EQ(0u, advice.rfind(c.says, 0)) << advice;
  EXPECT_EQ(std::string::npos, advice.find(c.never)) << advice;
}

const std::vector<gid_t> kOwn = {kAliceGroup};
const std::vector<gid_t> kWithDialout = {kAliceGroup, kDialout};
const std::string kUdev = "a udev rule with GROUP=\"dialout\", MODE=\"0660\"";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, access_advice_test, testing::Values(
    advice_case{"RootOnlyDevice", access_kind::device, 0, 0, 020600, kWithDialout, kWithDialout,
                "only root may open it (root:root, mode 0600): " + kUdev, "join"},
    advice_case{"NotInTheGroup", access_kind::device, 0, kDialout, 020660, kOwn, kOwn,
                "join the group dialout ('sudo adduser $USER dialout') and log in again", "udev"},
    advice_case{"JoinedAfterLogin", access_kind::device, 0, kDialout, 020660, kOwn, kWithDialout,
                "you joined the group dialout after this login began: log in again (or run 'newgrp dialout')", "adduser"},
    advice_case{"GroupMayOnlyRead", access_kind::device, 0, kDialout, 020640, kWithDialout, kWithDialout,
                "your group dialout may not open it (root:dialout, mode 0640): " + kUdev, "join"},
    advice_case{"ModeLetsTheUserIn", access_kind::device, 0, kDialout, 020660, kWithDialout, kWithDialout,
                "its owner, group and mode let you in (root:dialout, mode 0660): something else", "join"},
    advice_case{"OwnDeviceWithoutWrite", access_kind::device, kAlice, kDialout, 020460, kWithDialout, kWithDialout,
                "it is yours, but its mode keeps you out (alice:dialout, mode 0460): 'chmod u+rw /dev/ttyUSB0'", "join"},
    advice_case{"GroupRootIsNoAdvice", access_kind::device, 0, 0, 020660, kOwn, kOwn,
                "only root may open it", "join"},
    advice_case{"RootOnlyFolder", access_kind::folder, 0, 0, 040755, kWithDialout, kWithDialout,
                "only root may write in it (root:root, mode 0755): 'sudo systemd-tmpfiles --create relka.conf'", "join"},
    advice_case{"FolderOfAGroup", access_kind::folder, 0, kDialout, 042775, kOwn, kOwn,
                "join the group dialout", "tmpfiles"},
    advice_case{"MissingFolder", access_kind::folder, 0, 0, 0, kOwn, kOwn,
                "it is missing and cannot be made: 'sudo systemd-tmpfiles --create relka.conf'", "join", true},
    advice_case{"FolderOnTheWay", access_kind::device, 0, kDialout, 020660, kOwn, kOwn,
                "a folder on the way keeps you out ('namei -l /dev/ttyUSB0' shows", "join", false, true}),
    by_name());
// clang-format on

}  // namespace
