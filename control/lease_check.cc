// SPDX-License-Identifier: MIT
#include "control/lease_check.h"

#include <syslog.h>
#include <time.h>

#include "outlet/adapter.h"

namespace {

// Ends the leases of `outlets` on `path` held by others than the request's
// lease user; each one ended is said and logged.
bool break_leases(const switch_request& r, const box_target& t,
                  const std::string& path, int outlets,
                  const std::function<void(const std::string&)>& say) {
  std::string problem;
  bool ok = change_leases(
      path, time(nullptr),
      [&](std::vector<outlet_lease>* leases) {
        std::vector<outlet_lease> kept;
        for (const outlet_lease& l : *leases) {
          if (!((outlets >> (l.outlet - 1)) & 1) ||
              l.holder == r.lease_user) {
            kept.push_back(l);
            continue;
          }
          std::string what = leased_words(t, l);
          say("breaking the lease: " + what);
          log_request(r, LOG_WARNING,
                      (r.who.empty() ? "?" : r.who) +
                          ": broke the lease: " + what);
        }
        bool changed = kept.size() != leases->size();
        *leases = kept;
        return changed;
      },
      &problem);
  if (!ok) say(problem + "; the lease stays");
  return ok;
}

}  // namespace

std::string lease_file_of(const std::string& state_dir,
                          const std::string& device, int address) {
  adapter_name adapter = name_adapter(device);
  std::string identity = adapter.identity;
  if (identity.empty()) {
    // A device that leads nowhere now is known by its path alone.
    for (char c : device) identity += c == '/' ? '_' : c;
  }
  return lease_path(state_dir, identity, address);
}

std::vector<outlet_lease> leases_of(const std::string& state_dir,
                                    const std::string& device, int address) {
  std::string problem;
  return read_leases(lease_file_of(state_dir, device, address), time(nullptr),
                     &problem);
}

std::string leased_words(const box_target& t, const outlet_lease& lease) {
  return "outlet " + std::to_string(lease.outlet) + " of " + box_words(t) +
         " is leased to " + lease.holder + " until " +
         lease_time_text(lease.until);
}

int lease_refusal(const switch_request& r, const box_target& t, int outlets,
                  bool back_on,
                  const std::function<void(const std::string&)>& say,
                  outlet_lease* in_the_way) {
  if (back_on) return switch_done;
  std::string path = lease_file_of(r.state_dir, t.device, t.address);
  std::string problem;
  std::vector<outlet_lease> leases = read_leases(path, time(nullptr), &problem);
  const outlet_lease* first = lease_in_the_way(leases, outlets, r.lease_user);
  if (first == nullptr) return switch_done;
  if (r.break_lease)
    return break_leases(r, t, path, outlets, say) ? switch_done
                                                  : switch_usage_error;
  *in_the_way = *first;
  say(leased_words(t, *first) + "; nothing was sent" + r.lease_hint);
  return switch_state_unknown;
}
