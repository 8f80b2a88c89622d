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

std::string post(const std::string& path, const std::string& body) {
  return "POST" + put(path, body).substr(3);
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

// A stop in the middle of a cycle ends its pause: the outlet goes back on
// and the cycle's client gets its answer before relkad exits.
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
  http_connection cycling(port_);
  ASSERT_TRUE(
      cycling.send(post("/api/v1/outlets/web1/cycle", "{\"delay\":60}")));
  auto begun = std::chrono::steady_clock::now();
  while (frame_masks().size() < 3 && seconds_since(begun) < 5) usleep(10000);
  relkad_.send(SIGTERM);
  std::string answer = cycling.receive(5);
  EXPECT_EQ(200, http_status_of(answer)) << answer;
  EXPECT_NE(std::string::npos, answer.find("\"on\"")) << answer;
  EXPECT_EQ(0, relkad_.wait(5));
  EXPECT_LT(seconds_since(begun), 3.0);
  EXPECT_EQ((std::vector<int>{0x00, 0x04, 0x00, 0x04}), frame_masks());
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

// The token as lab:0123456789abcdef0123, added to a request.
std::string with_token(std::string request) {
  return request.insert(request.find("\r\n") + 2,
                        "Authorization: Basic "
                        "bGFiOjAxMjM0NTY3ODlhYmNkZWYwMTIz\r\n");
}

bool busy_with_retry(const std::string& answer) {
  return http_status_of(answer) == 503 &&
         answer.find("\r\nRetry-After: 1\r\n") != std::string::npos;
}

// No client can keep the slots: a request must arrive whole in time,
// however it trickles; unauthenticated connections beyond their share
// make room (oldest first, with a 503); the token's clients get in and,
// while all are being answered, a newcomer gets a 503, not a reset.
TEST_F(relkad_test, ConnectionSlotsStayForTheTokenAndRefuseWithAnAnswer) {
  std::string token = folder_.file("token");
  write_file(token, "0123456789abcdef0123\n");
  chmod(token.c_str(), 0600);
  start({"--token-file", token, "--connections", "8", "--request-timeout", "1",
         "--wait", "4"});
  std::string all = http_exchange(
      port_, with_token(put("/api/v1/boxes/top",
                            "{\"state\":\"on\",\"outlets\":[1,2,3,4,5,6,"
                            "7,8]}")));
  ASSERT_EQ(200, http_status_of(all)) << all;

  http_connection trickling(port_, "127.0.0.2");
  trickling.send("GET /api/v1/lab HTTP/1.1\r\nHost: 127.0.0.1\r\n");
  auto begun = std::chrono::steady_clock::now();
  std::string late;
  while (late.empty() && seconds_since(begun) < 3 && trickling.send("X"))
    late = trickling.receive(0.2);
  EXPECT_EQ(408, http_status_of(late)) << late;
  EXPECT_LT(seconds_since(begun), 1.6);

  // 8 slots, 2 of them kept: the 7th and 8th make room.
  std::vector<std::unique_ptr<http_connection>> slow;
  for (int i = 0; i < 8; ++i) {
    if (i == 6) usleep(300000);  // past the newcomers' grace
    std::string from = "127.0.0." + std::to_string(3 + i % 4);
    slow.push_back(std::make_unique<http_connection>(port_, from.c_str()));
    slow.back()->send("GET /api/v1/lab HTTP/1.1\r\nHost: 127.0.0.1\r\n");
  }
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(i < 2, busy_with_retry(slow[i]->receive(0.05))) << i;

  // Eight answers under way (a cycle and seven switches waiting for it)
  // take every slot from the slow ones; a ninth client gets a 503.
  std::vector<std::unique_ptr<http_connection>> waiting;
  waiting.push_back(std::make_unique<http_connection>(port_, "127.0.0.7"));
  waiting.back()->send(
      with_token(post("/api/v1/outlets/web1/cycle", "{\"delay\":1.5}")));
  while (frame_masks().size() < 2 && seconds_since(begun) < 5) usleep(10000);
  for (int i = 0; i < 7; ++i) {
    waiting.push_back(std::make_unique<http_connection>(port_, "127.0.0.8"));
    waiting.back()->send(with_token(put("/outlet/top/3", "1")));
  }
  usleep(300000);
  EXPECT_TRUE(busy_with_retry(
      http_exchange(port_, with_token(get("/api/v1/lab")), 2, "127.0.0.9")));
  for (auto& c : waiting) {
    std::string answer = c->receive(5);
    EXPECT_EQ(200, http_status_of(answer)) << answer;
  }
  std::vector<int> frames = frame_masks();
  ASSERT_GE(frames.size(), 3u);
  EXPECT_EQ((std::vector<int>{0xff, 0xfb, 0xff}),
            std::vector<int>(frames.begin(), frames.begin() + 3));
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
