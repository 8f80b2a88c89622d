// SPDX-License-Identifier: MIT
// relkad's users and leases over HTTP, beside the routes of http_api:
//   POST   /api/v1/outlets/NAME/lease  {"seconds": N}, 1 to 604800 (a day
//                                       when the body names none)
//   DELETE /api/v1/outlets/NAME/lease
//   POST   /api/v1/boxes/NAME/lease    (all eight outlets of the box)
//   DELETE /api/v1/boxes/NAME/lease
// A lease holds outlets for its user until it ends: a switch by anyone
// else is 423 with the holder and the end; its holder may renew it (POST
// again) and end it (DELETE), and a user with lease_admin may end anyone's,
// which is logged. Leases need a user name: the users file's, or the HTTP
// Basic user of the single token; without authentication the routes are
// not there (404).
//
// Before every switch, switch_refusal() answers 403 for an outlet outside
// the user's rights (naming the outlet) and 423 for one leased to someone
// else; the switching core looks at the leases again under the line, so
// that a lease granted in between still holds (423 all the same, with the
// lease the core found: leased_answer).
// The JSON answers show each outlet's lease, and whether the user may
// switch it (add_box_leases, add_outlet_lease), so that the page can grey
// out the rest.
#ifndef RELKA_RELKAD_LEASE_API_H_
#define RELKA_RELKAD_LEASE_API_H_

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "outlet/lease_store.h"
#include "relkad/http_api.h"

http_response lease_request(const lab_file& lab, const api_settings& settings,
                            const http_request& request,
                            const std::string& kind, const std::string& name,
                            const std::string& who);

// The refusal of a switch of `outlets` of `box`, or nothing. `plain`:
// labgrid's routes, which answer in text.
std::optional<http_response> switch_refusal(const lab_file& lab,
                                            const api_settings& settings,
                                            const http_request& request,
                                            const named_box& box, int outlets,
                                            bool plain);

// 423 for `lease`, someone else's, on an outlet of `box`: who holds it and
// until when.
http_response leased_answer(const lab_file& lab, const named_box& box,
                            const outlet_lease& lease, bool plain);

// The leases of `box` now: read once for all of its outlets shown.
std::vector<outlet_lease> box_leases(const lab_file& lab,
                                     const api_settings& settings,
                                     const named_box& box);

// To `box_json`, an answer's box: each outlet's "lease" (from `leases`,
// the box's) and "may" (whether the request's user may switch it).
void add_box_leases(const api_settings& settings, const http_request& request,
                    const named_box& box,
                    const std::vector<outlet_lease>& leases,
                    nlohmann::json* box_json);

// The same for an answer's outlet.
void add_outlet_lease(const api_settings& settings, const http_request& request,
                      const named_outlet& outlet,
                      const std::vector<outlet_lease>& leases,
                      nlohmann::json* outlet_json);

// The request's user, for /api/v1/lab: "name" (null for nobody) and
// "lease_admin".
nlohmann::json user_json(const api_settings& settings,
                         const http_request& request);

#endif  // RELKA_RELKAD_LEASE_API_H_
