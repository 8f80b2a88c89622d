// SPDX-License-Identifier: MIT
#include "relkad/lease_api.h"

#include <syslog.h>
#include <time.h>

#include <nlohmann/json.hpp>

#include "control/clean_text.h"
#include "control/lease_check.h"
#include "outlet/exact_number.h"
#include "relkad/answers.h"

using json = nlohmann::json;

namespace {

// The user's rights; nullptr: the one user of a single token, or nobody
// without authentication, who may switch everything.
const relkad_user* user_of(const api_settings& s, const http_request& r) {
  return s.users ? s.users->find(r.user) : nullptr;
}

// "web1", or "outlet 3 of box top" where the outlet has no name.
std::string outlet_text(const lab_file& lab, const named_box& b, int n) {
  std::string name = lab.outlet_name(b.name, n);
  return name.empty() ? "outlet " + std::to_string(n) + " of box " + b.name
                      : name;
}

int lowest(int outlets) {
  for (int n = 1; n <= 8; ++n)
    if ((outlets >> (n - 1)) & 1) return n;
  return 0;
}

json lease_json(const outlet_lease* l) {
  if (l == nullptr) return nullptr;
  return {{"holder", l->holder}, {"until", lease_time_text(l->until)}};
}

// Escaped whole, as every log line: `who` holds the user as sent.
void log_lease(const std::string& who, const std::string& what) {
  openlog("relkad", LOG_PID, LOG_USER);
  syslog(LOG_NOTICE, "%s", log_text(who + ": " + what).c_str());
  closelog();
}

// A lease asked without a length (labgrid's driver holds one from its
// activation to its deactivation): a day.
constexpr long long kDefaultLeaseSeconds = 24LL * 3600;

// {"seconds": N}: N in 1 .. 7 days, read exactly, or a day when the body
// names none; 0 when it is not a length.
long long lease_seconds(const std::string& body) {
  json parsed = json::parse(body.empty() ? "{}" : body, nullptr, false);
  if (!parsed.is_object()) return 0;
  if (!parsed.contains("seconds")) return kDefaultLeaseSeconds;
  const json& n = parsed["seconds"];
  uint64_t seconds = 0;
  if (!n.is_number_integer() ||
      !read_whole(n.dump(), 1, static_cast<uint64_t>(max_lease_seconds),
                  &seconds))
    return 0;
  return static_cast<long long>(seconds);
}

// A lease of `outlets` of `b` for `user`: granted or renewed, or the
// lease of someone else in the way.
http_response grant(const lab_file& lab, const api_settings& s,
                    const http_request& request, const named_box& b,
                    int outlets, const std::string& who) {
  long long seconds = lease_seconds(request.body);
  if (seconds == 0)
    return error_answer(400,
                        "seconds must be a whole number from 1 to " +
                            std::to_string(max_lease_seconds),
                        false);
  long long now = time(nullptr);
  outlet_lease in_the_way;
  std::string problem;
  bool ok = change_leases(
      lease_file_of(s.state_dir, lab.device_of(b), b.address), now,
      [&](std::vector<outlet_lease>* leases) {
        if (const outlet_lease* l =
                lease_in_the_way(*leases, outlets, request.user)) {
          in_the_way = *l;
          return false;
        }
        std::vector<outlet_lease> kept;
        for (const outlet_lease& l : *leases)
          if (!((outlets >> (l.outlet - 1)) & 1)) kept.push_back(l);
        for (int n = 1; n <= 8; ++n)
          if ((outlets >> (n - 1)) & 1)
            kept.push_back({n, request.user, now + seconds});
        *leases = kept;
        return true;
      },
      &problem);
  if (!ok) return error_answer(500, problem, false);
  if (in_the_way.outlet != 0) return leased_answer(lab, b, in_the_way, false);
  std::string until = lease_time_text(now + seconds);
  log_lease(who, "lease " + outlet_text(lab, b, lowest(outlets)) +
                     (outlets == 0xff ? " (box " + b.name + ")" : "") +
                     " until " + until + ": done");
  return json_answer(200, {{"holder", request.user}, {"until", until}});
}

// Ends the leases on `outlets` of `b`: the caller's own, or anyone's for a
// lease admin (logged with the holder).
http_response end_lease(const lab_file& lab, const api_settings& s,
                        const http_request& request, const named_box& b,
                        int outlets, const std::string& who) {
  const relkad_user* user = user_of(s, request);
  bool admin = user != nullptr && user->lease_admin;
  outlet_lease in_the_way;
  std::vector<outlet_lease> ended;
  std::string problem;
  bool ok = change_leases(
      lease_file_of(s.state_dir, lab.device_of(b), b.address), time(nullptr),
      [&](std::vector<outlet_lease>* leases) {
        const outlet_lease* other =
            admin ? nullptr : lease_in_the_way(*leases, outlets, request.user);
        if (other != nullptr) {
          in_the_way = *other;
          return false;
        }
        std::vector<outlet_lease> kept;
        for (const outlet_lease& l : *leases)
          ((outlets >> (l.outlet - 1)) & 1 ? ended : kept).push_back(l);
        *leases = kept;
        return !ended.empty();
      },
      &problem);
  if (!ok) return error_answer(500, problem, false);
  if (in_the_way.outlet != 0) return leased_answer(lab, b, in_the_way, false);
  for (const outlet_lease& l : ended)
    log_lease(who, "ended the lease of " + outlet_text(lab, b, l.outlet) +
                       (l.holder == request.user
                            ? ""
                            : " held by " + l.holder + " (lease admin)"));
  return json_answer(200, {{"holder", nullptr}, {"until", nullptr}});
}

}  // namespace

http_response leased_answer(const lab_file& lab, const named_box& b,
                            const outlet_lease& l, bool plain) {
  std::string why = outlet_text(lab, b, l.outlet) + " is leased to " +
                    l.holder + " until " + lease_time_text(l.until);
  if (plain) return error_answer(423, why, true);
  return json_answer(423, {{"error", why},
                           {"holder", l.holder},
                           {"until", lease_time_text(l.until)}});
}

std::optional<http_response> switch_refusal(const lab_file& lab,
                                            const api_settings& s,
                                            const http_request& request,
                                            const named_box& b, int outlets,
                                            bool plain) {
  int refused = refused_outlets(user_of(s, request), b.name, outlets);
  if (refused != 0)
    return error_answer(403,
                        request.user + " may not switch " +
                            outlet_text(lab, b, lowest(refused)),
                        plain);
  std::vector<outlet_lease> leases = box_leases(lab, s, b);
  if (const outlet_lease* l = lease_in_the_way(leases, outlets, request.user))
    return leased_answer(lab, b, *l, plain);
  return std::nullopt;
}

http_response lease_request(const lab_file& lab, const api_settings& s,
                            const http_request& request,
                            const std::string& kind, const std::string& name,
                            const std::string& who) {
  const named_box* b = nullptr;
  int outlets = 0xff;
  if (kind == "outlets") {
    const named_outlet* o = lab.outlet(name);
    if (o == nullptr)
      return error_answer(404, "no outlet named '" + name + "'", false);
    b = lab.box(o->box);
    outlets = 1 << (o->outlet - 1);
  } else if (kind == "boxes") {
    b = lab.box(name);
    if (b == nullptr)
      return error_answer(404, "no box named '" + name + "'", false);
  } else {
    return error_answer(404, "no such path", false);
  }
  // Without authentication nobody is anyone: no leases are offered, and a
  // client that takes one where it can (labgrid's driver) goes on without.
  if (!s.asks_auth()) return error_answer(404, "no such path", false);
  if (request.method != "POST" && request.method != "DELETE")
    return error_answer(405, "POST or DELETE", false);
  if (!valid_holder(request.user))
    return error_answer(403,
                        "a lease needs a user: HTTP Basic credentials whose "
                        "name is letters, digits, '.', '_', '-' or '@'",
                        false);
  // Ending a lease switches nothing: a lease admin needs no right to the
  // outlets, and anyone else may end only their own.
  if (request.method == "DELETE")
    return end_lease(lab, s, request, *b, outlets, who);
  int refused = refused_outlets(user_of(s, request), b->name, outlets);
  if (refused != 0)
    return error_answer(403,
                        request.user + " may not switch " +
                            outlet_text(lab, *b, lowest(refused)),
                        false);
  return grant(lab, s, request, *b, outlets, who);
}

std::vector<outlet_lease> box_leases(const lab_file& lab, const api_settings& s,
                                     const named_box& b) {
  return leases_of(s.state_dir, lab.device_of(b), b.address);
}

void add_box_leases(const api_settings& s, const http_request& request,
                    const named_box& b, const std::vector<outlet_lease>& leases,
                    json* box) {
  const relkad_user* user = user_of(s, request);
  for (int n = 1; n <= 8; ++n) {
    json& o = (*box)["outlets"][std::to_string(n)];
    o["lease"] = lease_json(lease_of(leases, n));
    o["may"] = may_switch(user, b.name, 1 << (n - 1));
  }
}

void add_outlet_lease(const api_settings& s, const http_request& request,
                      const named_outlet& o,
                      const std::vector<outlet_lease>& leases, json* outlet) {
  (*outlet)["lease"] = lease_json(lease_of(leases, o.outlet));
  (*outlet)["may"] =
      may_switch(user_of(s, request), o.box, 1 << (o.outlet - 1));
}

json user_json(const api_settings& s, const http_request& request) {
  const relkad_user* user = user_of(s, request);
  return {{"name", request.user.empty() ? json(nullptr) : json(request.user)},
          {"lease_admin", user != nullptr && user->lease_admin}};
}
