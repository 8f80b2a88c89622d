// SPDX-License-Identifier: MIT
// relkad's HTTP requests and answers, without the sockets: what a request
// may do, whom it comes from, and what the lab's boxes say back.
//
// Routes (every outlet and box by its lab file name):
//   GET  /                            the web page
//   GET  /api/v1/lab                  lines, boxes and outlets, with states
//   GET  /api/v1/outlets/NAME         one outlet
//   PUT  /api/v1/outlets/NAME         {"state": "on"|"off"}
//   POST /api/v1/outlets/NAME/cycle   {"delay": seconds} (optional)
//   GET  /api/v1/boxes/NAME           one box
//   PUT  /api/v1/boxes/NAME           {"state": "on"|"off", "outlets": [3, 4]}
//   POST /api/v1/boxes/NAME/cycle     {"outlets": [3, 4], "delay": seconds}
//   GET  /outlet/BOX/N                "0" or "1" (labgrid's rest model)
//   PUT  /outlet/BOX/N                "0" or "1"
// A GET never changes anything. Failures are JSON {"error": ...} with 404
// (unknown name), 400 (bad input), 409 (state unknown), 503 (busy after the
// wait), 502 (the lines could not be driven or the device opened); labgrid's
// routes answer in plain text.
//
// Every request is hostile until shown otherwise: bodies are bounded,
// paths are matched whole (no "..", no escapes), and a request that
// changes something must not come from another site's page. Where the
// service needs it, a request must carry HTTP Basic credentials whose
// password is the service's token (any user name); the token is never
// logged. Every switch and every refusal is logged with the client.
#ifndef RELKA_RELKAD_HTTP_API_H_
#define RELKA_RELKAD_HTTP_API_H_

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <utility>
#include <vector>

#include "control/lab_file.h"
#include "relkad/line_workers.h"
#include "relkad/users.h"

struct http_request {
  std::string method;
  std::string path;  // as sent, without the query
  std::string body;
  bool body_too_large = false;
  std::string client;  // the peer's address
  // Headers that matter here; "" when absent.
  std::string authorization;
  std::string host;
  std::string origin;
  std::string fetch_site;    // Sec-Fetch-Site
  std::string page_request;  // X-Relkad-Request, sent by the web page
  std::string user;          // who authenticated; "" when nobody did
};

struct http_response {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

struct api_settings {
  std::string token;          // "" when no authentication is asked for
  std::shared_ptr<const users_file> users;  // instead of the token
  bool loopback_only = true;  // listening on 127.0.0.0/8 or ::1 alone
  std::string state_dir;
  double wait = 10;  // for a busy line or a cycled outlet
  // Where browsers reach the service besides its Host ("https://NAME"),
  // as an Origin header says it; "" when not given.
  std::string public_origin;

  // Whether a request must show credentials: a token or a users file.
  bool asks_auth() const { return !token.empty() || users != nullptr; }
};

class http_api {
 public:
  http_api(lab_file lab, api_settings settings, line_workers& lines);

  // Never throws: a request that fails inside answers 500.
  http_response handle(const http_request& request);
  // Whether the request shows the token (any request does when the service
  // asks for none): its connection keeps a place among the reserved ones.
  bool authenticated(const http_request& request) const;

  // Largest request body accepted.
  static constexpr size_t max_body = 4096;

 private:
  http_response checked(const http_request& request);
  http_response internal_error(const http_request& request,
                               const std::string& what);
  http_response route(const http_request& request, const std::string& who);
  http_response lab_state(const http_request& request);
  http_response outlet(const http_request& request, const std::string& name,
                       const std::string& action, const std::string& who);
  http_response box(const http_request& request, const std::string& name,
                    const std::string& action, const std::string& who);
  http_response labgrid(const http_request& request, const std::string& box,
                        const std::string& number, const std::string& who);
  bool wanted_outlets(const nlohmann::json& body, const named_box& b,
                      int* outlets, std::string* names,
                      http_response* refused) const;
  // Switches (or cycles) `outlets` of `box`; the outcome as an HTTP answer.
  switch_outcome apply(const named_box& box, int outlets,
                       switch_command command, double delay,
                       const std::string& who, const std::string& user,
                       std::string* names);
  std::vector<box_outcome> states(const std::vector<const named_box*>& boxes);

  lab_file lab_;
  api_settings settings_;
  line_workers& lines_;
};

// The origin a browser would send for `url` ("https://NAME[:PORT]", in
// lower case, without the scheme's own port); false when it is none.
bool origin_of(const std::string& url, std::string* origin);

// Logs a refused request (syslog, warning) with its client and user: the
// line refusal_log_line makes, everything a client sent in it escaped.
void log_refusal(const std::string& who, const http_request& request,
                 int status, const std::string& why);
std::string refusal_log_line(const std::string& who,
                             const http_request& request, int status,
                             const std::string& why);

#endif  // RELKA_RELKAD_HTTP_API_H_
