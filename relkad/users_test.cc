// SPDX-License-Identifier: MIT
// relkad with a users file: who may switch what, and leases, request by
// request on the emulated line; and the users files refused at start.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "relkad/http_api.h"
#include "relkad/users.h"
#include "sim/frame_decoder.h"
#include "tests/api_fixture.h"
#include "tests/line_fixture.h"

namespace {

const char kLab[] =
    "[line.bench]\ndevice = \"/dev/relka\"\n"
    "[box.top]\nline = \"bench\"\naddress = 1\n"
    "[outlet.web1]\nbox = \"top\"\noutlet = 3\n"
    "[outlet.web2]\nbox = \"top\"\noutlet = 4\n"
    "[outlet.db1]\nbox = \"top\"\noutlet = 1\n";

std::string token_of(const std::string& user) {
  return user + "-token-0123456789";
}

std::string users_text() {
  return "[alice]\ntoken_sha256 = \"" + sha256_hex(token_of("alice")) +
         "\"\nmay = [\"web*\"]\n"
         "[bob]\ntoken_sha256 = \"" +
         sha256_hex(token_of("bob")) +
         "\"\nmay = [\"top\"]\n"
         "[carol]\ntoken_sha256 = \"" +
         sha256_hex(token_of("carol")) +
         "\"\nmay = [\"db1\"]\nlease_admin = true\n";
}

std::string basic(const std::string& pair) {
  static const char digits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < pair.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(pair[i]) << 16;
    if (i + 1 < pair.size()) v |= static_cast<unsigned char>(pair[i + 1]) << 8;
    if (i + 2 < pair.size()) v |= static_cast<unsigned char>(pair[i + 2]);
    for (size_t k = 0; k < 4; ++k)
      out += i + k <= pair.size() ? digits[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return "Basic " + out;
}

class users_test : public api_test {
 protected:
  users_test() : api_test(kLab) {}

  // A users file of `text`, loaded as relkad loads it at start.
  bool load(const std::string& text, mode_t mode, std::string* error) {
    write_file(folder_.file("users"), text);
    chmod(folder_.file("users").c_str(), mode);
    std::shared_ptr<const users_file> users;
    bool ok =
        load_users_option(folder_.file("users"), false, lab_, &users, error);
    settings_.users = users;
    return ok;
  }

  // relkad started (again) over the same state folder.
  void start() {
    settings_.loopback_only = false;
    api_test::start(settings_);
  }

  api_settings settings_;
};

struct step {
  const char* who;  // user whose token is sent; "restart": relkad again
  const char* method;
  const char* path;
  const char* body;
  int status;
  int sent;           // the mask the box received; -1: the line never moved
  const char* shows;  // in the answer
};

// One lab day: rights refuse with 403 and name the outlet, a lease refuses
// everyone but its holder with 423 (the holder and the end), also through
// labgrid's route and after a restart, until its holder or a lease admin
// ends it. No refused request moves the line.
TEST_F(users_test, RightsAndLeasesRequestByRequest) {
  std::string error;
  ASSERT_TRUE(load(users_text(), 0600, &error)) << error;
  start();
  const std::string all = "{\"state\":\"off\",\"outlets\":[1,2,3,4,5,6,7,8]}";
  // clang-format off
  const std::vector<step> steps = {
      {"bob", "PUT", "/api/v1/boxes/top", all.c_str(), 200, 0x00, "\"may\":true"},
      {"alice", "PUT", "/api/v1/outlets/web1", "{\"state\":\"on\"}", 200, 0x04, "\"may\":true"},
      {"alice", "PUT", "/api/v1/outlets/db1", "{\"state\":\"on\"}", 403, -1, "alice may not switch db1"},
      {"alice", "PUT", "/outlet/top/1", "1", 403, -1, "may not switch db1"},
      {"alice", "GET", "/api/v1/outlets/db1", "", 200, -1, "\"may\":false"},
      {"alice", "POST", "/api/v1/outlets/db1/lease", "{\"seconds\":60}", 403, -1, "may not switch db1"},
      {"alice", "POST", "/api/v1/outlets/web1/lease", "{\"seconds\":604801}", 400, -1, "from 1 to 604800"},
      {"alice", "POST", "/api/v1/outlets/web1/lease", "{\"seconds\":3600}", 200, -1, "\"holder\":\"alice\""},
      {"bob", "PUT", "/api/v1/outlets/web1", "{\"state\":\"off\"}", 423, -1, "web1 is leased to alice until 20"},
      {"bob", "PUT", "/outlet/top/3", "0", 423, -1, "leased to alice"},
      {"bob", "POST", "/api/v1/boxes/top/cycle", "{\"outlets\":[2,3],\"delay\":0}", 423, -1, "\"holder\":\"alice\""},
      {"bob", "POST", "/api/v1/boxes/top/lease", "{\"seconds\":60}", 423, -1, "\"holder\":\"alice\""},
      {"bob", "GET", "/api/v1/lab", "", 200, -1, "\"lease\":{\"holder\":\"alice\""},
      {"restart", "", "", "", 0, -1, ""},
      {"bob", "PUT", "/api/v1/outlets/web1", "{\"state\":\"off\"}", 423, -1, "\"holder\":\"alice\""},
      {"alice", "PUT", "/api/v1/outlets/web1", "{\"state\":\"off\"}", 200, 0x00, "\"holder\":\"alice\""},
      {"alice", "POST", "/api/v1/outlets/web1/lease", "{}", 200, -1, "\"holder\":\"alice\""},
      {"bob", "DELETE", "/api/v1/outlets/web1/lease", "", 423, -1, "leased to alice"},
      {"carol", "DELETE", "/api/v1/outlets/web1/lease", "", 200, -1, "\"holder\":null"},
      {"bob", "PUT", "/outlet/top/3", "1", 200, 0x04, "1"},
      {"bob", "POST", "/api/v1/boxes/top/lease", "{\"seconds\":60}", 200, -1, "\"holder\":\"bob\""},
      {"alice", "PUT", "/api/v1/outlets/web2", "{\"state\":\"on\"}", 423, -1, "web2 is leased to bob"},
      {"bob", "DELETE", "/api/v1/boxes/top/lease", "", 200, -1, "\"holder\":null"},
      {"alice", "PUT", "/api/v1/outlets/web2", "{\"state\":\"on\"}", 200, 0x0c, "\"lease\":null"},
      {"mallory", "PUT", "/api/v1/outlets/web2", "{\"state\":\"off\"}", 401, -1, "authentication"},
      {"alice as bob", "PUT", "/api/v1/outlets/db1", "{\"state\":\"on\"}", 403, -1, "alice may not switch db1"},
  };
  // clang-format on
  for (const step& s : steps) {
    SCOPED_TRACE(std::string(s.who) + " " + s.method + " " + s.path);
    if (std::string(s.who) == "restart") {
      start();
      continue;
    }
    settle_closed();
    http_request r;
    r.method = s.method;
    r.path = s.path;
    r.body = s.body;
    r.client = "192.0.2.7";
    r.host = "192.0.2.1:7421";
    // "alice as bob": alice's token under another user name.
    std::string who = s.who, name = who.substr(who.rfind(' ') + 1);
    r.authorization =
        basic(name + ":" + token_of(who.substr(0, who.find(' '))));
    http_response answer = api_->handle(r);
    EXPECT_EQ(s.status, answer.status) << answer.body;
    EXPECT_NE(std::string::npos, answer.body.find(s.shows)) << answer.body;
    if (s.sent < 0)
      EXPECT_TRUE(line->changes().empty()) << "the line moved";
    else
      EXPECT_EQ(std::vector<int>{s.sent}, frame_masks());
  }
}

// A users file with any mistake is refused whole, with where and what.
TEST_F(users_test, MistakesRefuseTheFileWithFileLineAndWhat) {
  const std::string hash = "token_sha256 = \"" + sha256_hex("x") + "\"\n";
  const struct {
    std::string text;
    mode_t mode;
    std::string said;
  } cases[] = {
      {"[alice]\n" + hash + "may = [\"web*\"]\nadmin = true\n", 0600,
       "users:4: unknown key 'admin' of user 'alice'"},
      {"[alice]\n" + hash + "may = [\"rack9*\"]\n", 0600,
       "users:3: 'rack9*' in may of user 'alice' matches no outlet or box"},
      {"[alice]\ntoken_sha256 = \"abc\"\n", 0600,
       "users:2: token_sha256 of user 'alice' must be 64 hex digits"},
      {"[alice]\nmay = [\"db1\"]\n", 0600,
       "users:1: user 'alice' has no token_sha256"},
      {"[alice]\n" + hash, 0644, "users: others may read or write it"},
      {"[alice]\n" + hash + "[bob]\n" + hash, 0600,
       "users:3: user 'bob' has the token of user 'alice'"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(load(c.text, c.mode, &error)) << c.text;
    EXPECT_NE(std::string::npos, error.find(c.said)) << error;
  }
}

}  // namespace
