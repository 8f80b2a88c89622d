// SPDX-License-Identifier: MIT
// relkad as a service: over a real socket, on the emulated line, started
// and stopped by the test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/frame_decoder.h"
#include "sim/run_program.h"
#include "tests/http_client.h"
#include "tests/line_fixture.h"

namespace {

const char kLab[] =
    "[line.bench]\ndevice = \"/dev/relka\"\n"
    "[box.top]\nline = \"bench\"\naddress = 1\n"
    "[outlet.web1]\nbox = \"top\"\noutlet = 3\n";

std::string put(const std::string& path, const std::string& body) {
  return "PUT " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string get(const std::string& path) {
  return "GET " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

class relkad_test : public line_test {
 protected:
  void SetUp() override {
    line_test::SetUp();
    write_file(folder_.file("lab.toml"), kLab);
  }

  // Starts relkad on a free port and waits until it answers.
  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--lab",       folder_.file("lab.toml"),
                                     "--state-dir", folder_.path(),
                                     "--wait",      "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    port_ = start_http_server(relkad_, RELKAD_BINARY, args);
    ASSERT_NE(0, port_) << "relkad did not answer";
  }

  scoped_folder folder_;
  child_process relkad_;
  int port_ = 0;
};

TEST_F(relkad_test, SwitchesOverHttpAndStopsOnSigterm) {
  start();
  std::string all = http_exchange(
      port_, put("/api/v1/boxes/top",
                 "{\"state\":\"off\",\"outlets\":[1,2,3,4,5,6,7,8]}"));
  EXPECT_EQ(200, http_status_of(all)) << all;
  std::string on = http_exchange(port_, put("/outlet/top/3", "1"));
  EXPECT_EQ(200, http_status_of(on)) << on;
  std::string read = http_exchange(port_, get("/outlet/top/3"));
  EXPECT_EQ("1", read.substr(read.find("\r\n\r\n") + 4)) << read;
  EXPECT_EQ((std::vector<int>{0x00, 0x04}), frame_masks());
  auto begun = std::chrono::steady_clock::now();
  relkad_.send(SIGTERM);
  EXPECT_EQ(0, relkad_.wait(5));
  EXPECT_LT(seconds_since(begun), 3.0);
}

// relkad killed in the middle of a frame: once it is back the box reads as
// unknown, says why, and a single outlet is refused without touching the
// line until the whole box is set.
TEST_F(relkad_test, KillMidFrameLeavesTheBoxUnknown) {
  const std::string all_on = put(
      "/api/v1/boxes/top", "{\"state\":\"on\",\"outlets\":[1,2,3,4,5,6,7,8]}");
  start();
  line->set_delay(2000);
  std::thread client([&] { http_exchange(port_, all_on, 5); });
  auto begun = std::chrono::steady_clock::now();
  while (line->changes().size() < 30 && seconds_since(begun) < 3) usleep(500);
  const int pid = relkad_.pid();
  relkad_.send(SIGKILL);
  EXPECT_EQ(128 + SIGKILL, relkad_.wait(5));
  client.join();
  line->set_delay(0);
  settle_closed();
  start();
  std::string box = http_exchange(port_, get("/api/v1/boxes/top"));
  EXPECT_NE(std::string::npos, box.find("\"known\":false")) << box;
  EXPECT_NE(std::string::npos,
            box.find("the switch of box 1 from an unknown mask to 0xff by "
                     "process " +
                     std::to_string(pid) + " was never finished"))
      << box;
  EXPECT_EQ(409, http_status_of(http_exchange(port_, put("/outlet/top/3", "1"))));
  EXPECT_TRUE(line->changes().empty()) << line_story(line->changes());
  EXPECT_EQ(200, http_status_of(http_exchange(port_, all_on)));
  box = http_exchange(port_, get("/api/v1/boxes/top"));
  EXPECT_NE(std::string::npos, box.find("\"known\":true")) << box;
}

// Clients that flood the service with connections or send their headers
// slowly cannot keep another client (another address) from switching, and
// an oversized request is refused without harm.
TEST_F(relkad_test, FloodsAndSlowClientsCannotStopOthers) {
  start();
  std::vector<std::unique_ptr<http_connection>> slow;
  for (int i = 0; i < 80; ++i) {  // more than the service takes at all
    slow.push_back(std::make_unique<http_connection>(port_));
    slow.back()->send("GET /api/v1/lab HTTP/1.1\r\nHost: 127.0.0.1\r\n");
  }
  std::string huge = "GET /api/v1/lab HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Junk: " +
                     std::string(size_t{64} * 1024, 'x') + "\r\n\r\n";
  std::string refused = http_exchange(port_, huge, 3, "127.0.0.3");
  EXPECT_TRUE(refused.empty() || http_status_of(refused) >= 400) << refused;
  auto begun = std::chrono::steady_clock::now();
  std::string all =
      http_exchange(port_,
                    put("/api/v1/boxes/top",
                        "{\"state\":\"on\",\"outlets\":[1,2,3,4,5,6,7,8]}"),
                    5, "127.0.0.2");
  EXPECT_EQ(200, http_status_of(all)) << all;
  EXPECT_LT(seconds_since(begun), 3.0);
  EXPECT_EQ((std::vector<int>{0xff}), frame_masks());
}

// Off 127.0.0.1 relkad needs a token, and a token file others may read is
// no secret.
TEST_F(relkad_test, RefusesToServeWithoutItsSafeguards) {
  struct start_case {
    std::vector<std::string> args;
    std::string said;
  };
  std::string token = folder_.file("token");
  write_file(token, "0123456789abcdef0123\n");
  chmod(token.c_str(), 0644);
  std::string short_token = folder_.file("short");
  write_file(short_token, "fifteen-chars15\n");
  chmod(short_token.c_str(), 0600);
  std::string good_token = folder_.file("good");
  write_file(good_token, "0123456789abcdef0123\n");
  chmod(good_token.c_str(), 0600);
  std::string users = folder_.file("users");
  write_file(users,
             "[alice]\ntoken_sha256 = \"" + std::string(64, '0') + "\"\n");
  chmod(users.c_str(), 0640);
  std::string open_users = folder_.file("open-users");
  write_file(open_users,
             "[alice]\ntoken_sha256 = \"" + std::string(64, '0') + "\"\n");
  chmod(open_users.c_str(), 0604);
  std::vector<start_case> cases = {
      {{"--users", open_users}, "others may read or write it"},
      {{"--users", users, "--token-file", good_token}, "are not combined"},
      {{"--listen", "127.0.0.2:" + std::to_string(free_port())},
       "needs authentication"},
      {{"--token-file", token}, "only relkad may read"},
      {{"--token-file", short_token}, "shorter than 16 characters"},
      {{"--lab", folder_.file("missing.toml")}, "relkad serves the outlets"},
      {{"--public-origin", "lab.example"}, "is not an origin"},
      {{"--wait", "0x10"}, "is not a number of seconds"},
  };
  for (const start_case& c : cases) {
    std::vector<std::string> args = {
        "--lab", folder_.file("lab.toml"), "--listen",
        "127.0.0.1:" + std::to_string(free_port())};
    args.insert(args.end(), c.args.begin(), c.args.end());
    program_run run =
        run_program(RELKAD_BINARY, args, child_stdin::null_device, 5.0);
    EXPECT_EQ(2, run.status) << c.said;
    EXPECT_NE(std::string::npos, run.err.find(c.said)) << run.err;
  }
}

}  // namespace
