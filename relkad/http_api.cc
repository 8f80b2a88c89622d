// SPDX-License-Identifier: MIT
#include "relkad/http_api.h"

#include <syslog.h>

#include <algorithm>
#include <exception>
#include <nlohmann/json.hpp>
#include <set>

#include "control/clean_text.h"
#include "outlet/exact_number.h"
#include "relkad/answers.h"
#include "relkad/lease_api.h"
#include "relkad/web_page.h"

using json = nlohmann::json;

namespace {

// The HTTP status for how a switch ended.
int http_status(int status) {
  switch (status) {
    case switch_done: return 200;
    case switch_state_unknown: return 409;
    case switch_gave_up: return 503;
    case switch_usage_error: return 500;  // the state folder
    default: return 502;                  // lines not driven, device not opened
  }
}

// The answer to a switch that did not go through. A lease granted since
// switch_refusal looked, which the core found under the line, is refused
// as that would have been.
http_response switch_failure(const lab_file& lab, const named_box& b,
                             const switch_outcome& done, bool plain) {
  if (!done.boxes.empty() && done.boxes.front().leased.outlet != 0)
    return leased_answer(lab, b, done.boxes.front().leased, plain);
  return error_answer(http_status(done.status), done.error, plain);
}

std::string decode_base64(const std::string& in) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (char c : in) {
    if (c == '=') break;
    size_t at = alphabet.find(c);
    if (at == std::string::npos) return "";
    value = (value << 6) | static_cast<unsigned>(at);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xffu);
    }
  }
  return out;
}

// The user of Basic credentials whose password is the token, or (with a
// users file) that user's own token; false when there are none, or not
// those. The scheme's name is case-insensitive and the user name may be
// empty (RFC 7617).
bool authorized(const std::string& header, const api_settings& settings,
                std::string* user) {
  const std::string scheme = "basic ";
  if (lower_case(header.substr(0, scheme.size())) != scheme) return false;
  size_t start = header.find_first_not_of(' ', scheme.size());
  if (start == std::string::npos) return false;
  std::string pair = decode_base64(header.substr(start));
  size_t colon = pair.find(':');
  if (colon == std::string::npos) return false;
  *user = pair.substr(0, colon);
  if (!settings.users)
    return same_secret(pair.substr(colon + 1), settings.token);
  const relkad_user* found = settings.users->check(pair.substr(colon + 1));
  if (found != nullptr) *user = found->name;
  return found != nullptr;
}

// A Host header that names this machine's loopback: a page of another
// site, whose name was pointed at 127.0.0.1 (DNS rebinding), names itself.
bool loopback_host(const std::string& host) {
  std::string name = host;
  if (!name.empty() && name[0] == '[') {
    size_t end = name.find(']');
    return end != std::string::npos && name.substr(1, end - 1) == "::1";
  }
  name = name.substr(0, name.find(':'));
  if (name == "localhost") return true;
  if (name.compare(0, 4, "127.") != 0) return false;
  return name.find_first_not_of("0123456789.") == std::string::npos;
}

// Path words: letters, digits and . _ - only, never "." or ".." and never
// empty; an escape (%) or anything else is not a path of ours. `path` is
// the path as sent, before any decoding: "%6f" is not "o" here.
bool split_path(const std::string& path, std::vector<std::string>* words) {
  if (path.empty() || path[0] != '/') return false;
  std::string word;
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (word.empty() || word == "." || word == "..") return false;
      words->push_back(word);
      word.clear();
      continue;
    }
    char c = path[i];
    if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' &&
        c != '-')
      return false;
    word += c;
  }
  return true;
}

const char* outlet_state_word(const outlet_state& s, int outlet) {
  if (!s.known) return "unknown";
  return (s.mask >> (outlet - 1)) & 1 ? "on" : "off";
}

json set_at(const outlet_state& s) {
  return s.known && !s.set_at.empty() ? json(s.set_at) : json(nullptr);
}

// The client, and the user its credentials name, as sent: each log line
// is escaped whole where it is written.
std::string who_of(const http_request& r, const std::string& user, bool named) {
  return r.client + (named ? " (" + user + ")" : "");
}

// "host:port" in lower case, with the scheme's port where none is given.
std::string authority(const std::string& host, const std::string& port) {
  std::string text = lower_case(host);
  size_t bracket = text.rfind(']');
  size_t colon = text.rfind(':');
  bool has_port = colon != std::string::npos &&
                  (bracket == std::string::npos || colon > bracket);
  return has_port ? text : text + ":" + port;
}

// A browser's Origin that is this service's own: the Host the request was
// sent to, reached by http or by https (a TLS proxy in front that keeps
// the Host), or the public origin the service was given.
bool own_origin(const std::string& origin, const std::string& host,
                const std::string& public_origin) {
  if (!public_origin.empty() && origin == public_origin) return true;
  if (host.empty() || host.find_first_of("/@ ") != std::string::npos)
    return false;
  for (const char* scheme : {"http", "https"}) {
    std::string prefix = std::string(scheme) + "://";
    std::string port = scheme[4] == 's' ? "443" : "80";
    if (origin.compare(0, prefix.size(), prefix) == 0 &&
        authority(origin.substr(prefix.size()), port) == authority(host, port))
      return true;
  }
  return false;
}

bool reads(const std::string& method) {
  return method == "GET" || method == "HEAD";
}

}  // namespace

bool origin_of(const std::string& url, std::string* origin) {
  std::string text = lower_case(url);
  if (!text.empty() && text.back() == '/') text.pop_back();
  for (const char* scheme : {"http", "https"}) {
    std::string prefix = std::string(scheme) + "://";
    if (text.compare(0, prefix.size(), prefix) != 0) continue;
    std::string host = text.substr(prefix.size());
    if (host.empty() || host[0] == ':' ||
        host.find_first_of("/?#@ \\") != std::string::npos ||
        log_text(host) != host)
      return false;
    // A browser leaves the scheme's own port out of its Origin.
    std::string own_port = scheme[4] == 's' ? ":443" : ":80";
    if (host.size() > own_port.size() &&
        host.compare(host.size() - own_port.size(), own_port.size(),
                     own_port) == 0)
      host.erase(host.size() - own_port.size());
    *origin = prefix + host;
    return true;
  }
  return false;
}

std::string refusal_log_line(const std::string& who,
                             const http_request& request, int status,
                             const std::string& why) {
  return log_text(who + ": " + request.method.substr(0, 20) + " " +
                  request.path.substr(0, 200) + " refused with " +
                  std::to_string(status) + ": " + why);
}

void log_refusal(const std::string& who, const http_request& request,
                 int status, const std::string& why) {
  std::string line = refusal_log_line(who, request, status, why);
  openlog("relkad", LOG_PID, LOG_USER);
  syslog(LOG_WARNING, "%s", line.c_str());
  closelog();
}

http_api::http_api(lab_file lab, api_settings settings, line_workers& lines)
    : lab_(std::move(lab)), settings_(std::move(settings)), lines_(lines) {}

bool http_api::authenticated(const http_request& request) const {
  std::string user;
  return !settings_.asks_auth() ||
         authorized(request.authorization, settings_, &user);
}

// Nothing a request does may end the service: whatever is thrown (memory,
// threads, a library's refusal) fails that request alone, with 500.
http_response http_api::handle(const http_request& request) {
  try {
    return checked(request);
  } catch (const std::exception& e) {
    return internal_error(request, e.what());
  } catch (...) {
    return internal_error(request, "unknown exception");
  }
}

http_response http_api::internal_error(const http_request& request,
                                       const std::string& what) {
  try {
    log_refusal(who_of(request, "", false), request, 500, what);
    return error_answer(500, "internal error: " + what);
  } catch (...) {
    http_response r;
    r.status = 500;
    return r;
  }
}

http_response http_api::checked(const http_request& request) {
  std::string user;
  std::string who = who_of(request, "", false);
  auto refuse = [&](int status, const std::string& why) {
    log_refusal(who, request, status, why);
    http_response r = error_answer(status, why);
    if (status == 401)
      r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"relkad\"");
    return r;
  };
  if (settings_.asks_auth()) {
    if (!authorized(request.authorization, settings_, &user))
      return refuse(401, "authentication required");
    who = who_of(request, user, true);
  } else if (settings_.loopback_only && !loopback_host(request.host)) {
    return refuse(403, "this service answers to its loopback address only");
  }
  bool changes = !reads(request.method);
  // A page of another site may send a browser here, but not with the header
  // only our own page sets (that would need CORS, which is never granted).
  bool from_browser = !request.origin.empty() || !request.fetch_site.empty();
  if (changes && from_browser &&
      (!own_origin(request.origin, request.host, settings_.public_origin) ||
       request.page_request != "1" || request.fetch_site == "cross-site"))
    return refuse(403, "cross-site request refused");
  if (request.body_too_large)
    return refuse(
        413, "request body larger than " + std::to_string(max_body) + " bytes");
  // HEAD is answered as GET; the server leaves the body out.
  http_request asked = request;
  if (asked.method == "HEAD") asked.method = "GET";
  asked.user = user;
  http_response response = route(asked, who);
  if (response.status >= 400 && response.status != 409 && response.status < 500)
    log_refusal(who, request, response.status,
                response.body.substr(0, response.body.find('\n')));
  return response;
}

http_response http_api::route(const http_request& request,
                              const std::string& who) {
  std::vector<std::string> words;
  if (request.path == "/" && request.method == "GET") {
    http_response page;
    page.content_type = "text/html; charset=utf-8";
    page.body = web_page();
    page.headers.emplace_back(
        "Content-Security-Policy",
        "default-src 'self'; script-src 'unsafe-inline'; style-src "
        "'unsafe-inline'; frame-ancestors 'none'");
    page.headers.emplace_back("X-Frame-Options", "DENY");
    return page;
  }
  if (!split_path(request.path, &words))
    return error_answer(404, "no such path");
  const std::string& method = request.method;
  if (words.size() == 3 && words[0] == "outlet")
    return labgrid(request, words[1], words[2], who);
  if (words.size() < 3 || words[0] != "api" || words[1] != "v1")
    return error_answer(404, "no such path");
  if (words.size() == 3 && words[2] == "lab") {
    if (method != "GET") return error_answer(405, "GET only");
    return lab_state(request);
  }
  if (words.size() == 5 && words[4] == "lease")
    return lease_request(lab_, settings_, request, words[2], words[3], who);
  if (words.size() == 4 || (words.size() == 5 && words[4] == "cycle")) {
    std::string action = words.size() == 5 ? "cycle" : method;
    if (words[2] == "outlets") return outlet(request, words[3], action, who);
    if (words[2] == "boxes") return box(request, words[3], action, who);
  }
  return error_answer(404, "no such path");
}

std::vector<box_outcome> http_api::states(
    const std::vector<const named_box*>& boxes) {
  switch_request look;
  look.command = switch_command::status;
  look.state_dir = settings_.state_dir;
  for (const named_box* b : boxes) {
    box_target t;
    t.device = lab_.device_of(*b);
    t.address = b->address;
    t.box_name = b->name;
    t.outlets = 0xff;
    look.targets.push_back(t);
  }
  return run_switch(look).boxes;
}

namespace {

json box_json(const lab_file& lab, const named_box& b, const outlet_state& s) {
  json outlets = json::object();
  for (int n = 1; n <= 8; ++n) {
    json o = {{"state", outlet_state_word(s, n)}};
    std::string name = lab.outlet_name(b.name, n);
    o["name"] = name.empty() ? json(nullptr) : json(name);
    outlets[std::to_string(n)] = o;
  }
  return {{"name", b.name},
          {"line", b.line},
          {"device", lab.device_of(b)},
          {"address", b.address},
          {"known", s.known},
          {"mask", s.known ? json(s.mask) : json(nullptr)},
          {"set_at", set_at(s)},
          {"under_way", s.under_way.pid > 0
                            ? json(under_way_words(s))
                            : json(nullptr)},
          {"outlets", outlets}};
}

json outlet_json(const named_outlet& o, const outlet_state& s) {
  return {{"name", o.name},
          {"box", o.box},
          {"outlet", o.outlet},
          {"state", outlet_state_word(s, o.outlet)},
          {"set_at", set_at(s)}};
}

// A box as the API answers it: its state, each outlet's lease and what the
// request's user may switch.
json shown_box(const lab_file& lab, const api_settings& settings,
               const http_request& request, const named_box& b,
               const outlet_state& s) {
  json shown = box_json(lab, b, s);
  add_box_leases(settings, request, b, box_leases(lab, settings, b), &shown);
  return shown;
}

json shown_outlet(const lab_file& lab, const api_settings& settings,
                  const http_request& request, const named_outlet& o,
                  const outlet_state& s) {
  json shown = outlet_json(o, s);
  add_outlet_lease(settings, request, o,
                   box_leases(lab, settings, *lab.box(o.box)), &shown);
  return shown;
}

}  // namespace

http_response http_api::lab_state(const http_request& request) {
  std::vector<const named_box*> boxes;
  for (const named_box& b : lab_.boxes) boxes.push_back(&b);
  std::vector<box_outcome> seen = states(boxes);
  json lines = json::array(), box_list = json::array(), outlets = json::array();
  for (const named_line& l : lab_.lines)
    lines.push_back({{"name", l.name}, {"device", l.device}});
  // Each box's leases, read once for the box and its outlets.
  std::vector<std::vector<outlet_lease>> leases;
  for (size_t i = 0; i < lab_.boxes.size() && i < seen.size(); ++i) {
    const named_box& b = lab_.boxes[i];
    leases.push_back(box_leases(lab_, settings_, b));
    json shown = box_json(lab_, b, seen[i].state);
    add_box_leases(settings_, request, b, leases.back(), &shown);
    box_list.push_back(shown);
  }
  for (const named_outlet& o : lab_.outlets) {
    for (size_t i = 0; i < leases.size(); ++i)
      if (lab_.boxes[i].name == o.box) {
        json shown = outlet_json(o, seen[i].state);
        add_outlet_lease(settings_, request, o, leases[i], &shown);
        outlets.push_back(shown);
      }
  }
  return json_answer(200, {{"lines", lines},
                           {"boxes", box_list},
                           {"outlets", outlets},
                           {"user", user_json(settings_, request)}});
}

switch_outcome http_api::apply(const named_box& b, int outlets,
                               switch_command command, double delay,
                               const std::string& who, const std::string& user,
                               std::string* names) {
  switch_request r;
  r.lease_user = user;
  r.command = command;
  r.state_dir = settings_.state_dir;
  r.wait = settings_.wait;
  r.who = who;
  r.client = "relkad";
  box_target t;
  t.device = lab_.device_of(b);
  t.address = b.address;
  t.box_name = b.name;
  t.outlets = outlets;
  t.names = *names;
  r.targets.push_back(t);
  if (command == switch_command::cycle) {
    switch_outcome done = lines_.cycle(r, delay);
    log_switch(r, done);
    return done;
  }
  if (!lines_.wait_for_cycles(t, outlets, settings_.wait)) {
    switch_outcome busy;
    busy.status = switch_gave_up;
    busy.error = "gave up waiting: a cycle of these outlets is under way";
    busy.boxes.push_back({t, outlet_state(), {}, {}});
    log_switch(r, busy);
    return busy;
  }
  return lines_.run(r);
}

namespace {

// {"state": "on"|"off"}; -1 when the body says neither.
int wanted_state(const json& body) {
  if (!body.is_object() || !body.contains("state")) return -1;
  const json& state = body["state"];
  if (state == "on") return 1;
  if (state == "off") return 0;
  return -1;
}

// {"delay": seconds}, or the lab file's, or 2; -1 when it is no number in
// 0..86400.
double wanted_delay(const json& body, double own) {
  if (!body.is_object() || !body.contains("delay")) return own >= 0 ? own : 2;
  const json& d = body["delay"];
  if (!d.is_number()) return -1;
  double seconds = d.get<double>();
  return seconds >= 0 && seconds <= 86400 ? seconds : -1;
}

// The body as a JSON object; false with the refusal in `refused`. A key
// given twice in one object is refused: which of the two would count is
// the reader's guess, and two readers may guess differently.
bool parse_body(const std::string& text, json* body, http_response* refused) {
  if (text.empty()) {
    *body = json::object();
    return true;
  }
  std::vector<std::set<std::string>> keys;  // of each open object
  std::string twice;
  json::parser_callback_t seen = [&](int, json::parse_event_t event,
                                     json& parsed) {
    if (event == json::parse_event_t::object_start) keys.emplace_back();
    if (event == json::parse_event_t::object_end && !keys.empty())
      keys.pop_back();
    if (event == json::parse_event_t::key && !keys.empty() && twice.empty() &&
        !keys.back().insert(parsed.get<std::string>()).second)
      twice = parsed.get<std::string>();
    return true;
  };
  *body = json::parse(text, seen, false);
  if (!twice.empty()) {
    *refused = error_answer(400, "the body gives '" + twice + "' twice");
    return false;
  }
  if (body->is_discarded() || !body->is_object()) {
    *refused = error_answer(400, "the body is not a JSON object");
    return false;
  }
  return true;
}

// What a PUT or a POST .../cycle asks: the command and a cycle's pause
// (`own`: the lab file's); false with the refusal in `refused`.
bool wanted_change(const http_request& request, const std::string& action,
                   const json& body, double own, switch_command* command,
                   double* delay, http_response* refused) {
  if (action == "cycle") {
    if (request.method != "POST") {
      *refused = error_answer(405, "POST only");
      return false;
    }
    *command = switch_command::cycle;
    *delay = wanted_delay(body, own);
    if (*delay >= 0) return true;
    *refused = error_answer(400, "delay must be seconds from 0 to 86400");
    return false;
  }
  if (action != "PUT") {
    *refused = error_answer(405, "GET, PUT, or POST .../cycle");
    return false;
  }
  int state = wanted_state(body);
  if (state < 0) {
    *refused = error_answer(400, "state must be \"on\" or \"off\"");
    return false;
  }
  *command = state == 1 ? switch_command::on : switch_command::off;
  return true;
}

}  // namespace

http_response http_api::outlet(const http_request& request,
                               const std::string& name,
                               const std::string& action,
                               const std::string& who) {
  const named_outlet* o = lab_.outlet(name);
  if (o == nullptr) return error_answer(404, "no outlet named '" + name + "'");
  const named_box& b = *lab_.box(o->box);
  if (action == "GET")
    return json_answer(200, shown_outlet(lab_, settings_, request, *o,
                                         states({&b}).front().state));
  const int outlets = 1 << (o->outlet - 1);
  json body;
  switch_command command = switch_command::cycle;
  double delay = 0;
  http_response refused;
  if (!parse_body(request.body, &body, &refused) ||
      !wanted_change(request, action, body, lab_.cycle_delay(b, outlets),
                     &command, &delay, &refused))
    return refused;
  if (auto denied = switch_refusal(lab_, settings_, request, b, outlets, false))
    return *denied;
  std::string names = o->name;
  switch_outcome done =
      apply(b, outlets, command, delay, who, request.user, &names);
  if (done.status != switch_done) return switch_failure(lab_, b, done, false);
  return json_answer(200, shown_outlet(lab_, settings_, request, *o,
                                       done.boxes.front().state));
}

// A box's "outlets": "all", or a list of outlet numbers (1 to 8, whole
// numbers exactly as sent) and names of the box's outlets; false with the
// refusal in `refused`. `names` is how they were named, for the log ("" for
// numbers alone).
bool http_api::wanted_outlets(const json& body, const named_box& b,
                              int* outlets, std::string* names,
                              http_response* refused) const {
  const char* form =
      "outlets must be \"all\" or a list of outlet numbers 1 to 8 and names "
      "of the box's outlets";
  auto it = body.find("outlets");
  if (it != body.end() && *it == "all") {
    *outlets = 0xff;
    *names = "all";
    return true;
  }
  if (it == body.end() || !it->is_array() || it->empty() || it->size() > 8) {
    *refused = error_answer(400, form);
    return false;
  }
  bool named = false;
  std::string words;
  for (const json& item : *it) {
    int number = 0;
    const named_outlet* o =
        item.is_string() ? lab_.outlet(item.get<std::string>()) : nullptr;
    if (item.is_string() && (o == nullptr || o->box != b.name)) {
      *refused =
          error_answer(400, "'" + item.get<std::string>() +
                                "' is not an outlet of box '" + b.name + "'");
      return false;
    }
    if (o != nullptr) {
      number = o->outlet;
      named = true;
    } else if (!item.is_number_integer() ||
               !read_whole(item.dump(), 1, 8, &number)) {
      *refused = error_answer(400, form);
      return false;
    }
    *outlets |= 1 << (number - 1);
    words += (words.empty() ? "" : " ") +
             (o != nullptr ? o->name : std::to_string(number));
  }
  *names = named ? words : "";
  return true;
}

http_response http_api::box(const http_request& request,
                            const std::string& name, const std::string& action,
                            const std::string& who) {
  const named_box* b = lab_.box(name);
  if (b == nullptr) return error_answer(404, "no box named '" + name + "'");
  if (action == "GET")
    return json_answer(200, shown_box(lab_, settings_, request, *b,
                                      states({b}).front().state));
  json body;
  int outlets = 0;
  std::string names;
  switch_command command = switch_command::cycle;
  double delay = 0;
  http_response refused, bad_outlets;
  if (!parse_body(request.body, &body, &refused)) return refused;
  // A method the path does not take is told first, as for an outlet.
  bool outlets_read = wanted_outlets(body, *b, &outlets, &names, &bad_outlets);
  if (!wanted_change(request, action, body, lab_.cycle_delay(*b, outlets),
                     &command, &delay, &refused))
    return refused;
  if (!outlets_read) return bad_outlets;
  if (auto denied =
          switch_refusal(lab_, settings_, request, *b, outlets, false))
    return *denied;
  switch_outcome done =
      apply(*b, outlets, command, delay, who, request.user, &names);
  if (done.status != switch_done) return switch_failure(lab_, *b, done, false);
  return json_answer(
      200, shown_box(lab_, settings_, request, *b, done.boxes.front().state));
}

http_response http_api::labgrid(const http_request& request,
                                const std::string& box_name,
                                const std::string& number,
                                const std::string& who) {
  const named_box* b = lab_.box(box_name);
  if (b == nullptr)
    return text_answer(404, "no box named '" + box_name + "'\n");
  if (number.size() != 1 || number[0] < '1' || number[0] > '8')
    return text_answer(404, "outlets are 1 to 8\n");
  int outlet = number[0] - '0';
  if (request.method == "GET") {
    outlet_state s = states({b}).front().state;
    // The box cannot be read back: an unknown state is an error, never a
    // guess.
    if (!s.known) return text_answer(409, "unknown\n");
    return text_answer(200, (s.mask >> (outlet - 1)) & 1 ? "1" : "0");
  }
  if (request.method != "PUT") return text_answer(405, "GET or PUT\n");
  std::string value = request.body;
  while (!value.empty() && isspace(static_cast<unsigned char>(value.back())))
    value.pop_back();
  if (value != "0" && value != "1")
    return text_answer(400, "the body must be 0 or 1\n");
  if (auto denied =
          switch_refusal(lab_, settings_, request, *b, 1 << (outlet - 1), true))
    return *denied;
  std::string names = lab_.outlet_name(b->name, outlet);
  switch_outcome done =
      apply(*b, 1 << (outlet - 1),
            value == "1" ? switch_command::on : switch_command::off, 0, who,
            request.user, &names);
  if (done.status != switch_done) return switch_failure(lab_, *b, done, true);
  return text_answer(200, value);
}
