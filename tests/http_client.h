// SPDX-License-Identifier: MIT
// A few lines of HTTP over a real socket, for tests of a server this test
// started: raw requests (bad ones too), from a chosen loopback address, and
// connections left open on purpose.
#ifndef RELKA_TESTS_HTTP_CLIENT_H_
#define RELKA_TESTS_HTTP_CLIENT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "sim/run_program.h"

// A TCP connection from `from` (a loopback address) to 127.0.0.1:`port`;
// closed with the object.
class http_connection {
 public:
  http_connection(int port, const char* from = "127.0.0.1") {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    if (fd_ >= 0 &&
        (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
         connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) !=
             0)) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~http_connection() {
    if (fd_ >= 0) close(fd_);
  }
  http_connection(const http_connection&) = delete;
  http_connection& operator=(const http_connection&) = delete;

  bool connected() const { return fd_ >= 0; }

  bool send(const std::string& text) {
    return fd_ >= 0 && ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(text.size());
  }

  // What the server sends until it closes, or `seconds` pass.
  std::string receive(double seconds) {
    std::string got;
    auto until = std::chrono::steady_clock::now() +
                 std::chrono::duration<double>(seconds);
    while (fd_ >= 0 && std::chrono::steady_clock::now() < until) {
      pollfd in = {fd_, POLLIN, 0};
      if (poll(&in, 1, 50) <= 0) continue;
      char buffer[4096];
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int fd_ = -1;
};

// One whole request, its answer (the server closes: "Connection: close").
inline std::string http_exchange(int port, const std::string& request,
                                 double seconds = 5,
                                 const char* from = "127.0.0.1") {
  http_connection c(port, from);
  if (!c.send(request)) return "";
  return c.receive(seconds);
}

// "HTTP/1.1 200 OK..." -> 200; 0 when there is no status line.
inline int http_status_of(const std::string& response) {
  if (response.compare(0, 9, "HTTP/1.1 ") != 0 || response.size() < 12)
    return 0;
  return std::stoi(response.substr(9, 3));
}

// A port on 127.0.0.1 that was free a moment ago.
inline int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// Starts `program` (a server that takes --listen) in `server` on a free
// port of 127.0.0.1 and waits up to 5 s until GET `ready` gets an HTTP
// answer (401 from a server that wants a token will do). The port, or 0
// when it never did (`server`'s destructor then stops it).
inline int start_http_server(child_process& server, const std::string& program,
                             std::vector<std::string> args,
                             const std::string& ready = "/api/v1/lab") {
  int port = free_port();
  args.insert(args.end(), {"--listen", "127.0.0.1:" + std::to_string(port)});
  if (!server.start(program, args)) return 0;
  std::string get = "GET " + ready +
                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  auto begun = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - begun < std::chrono::seconds(5)) {
    if (http_status_of(http_exchange(port, get, 1)) != 0) return port;
    usleep(20000);
  }
  return 0;
}

#endif  // RELKA_TESTS_HTTP_CLIENT_H_
