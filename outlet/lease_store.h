// SPDX-License-Identifier: MIT
// Leases: outlets held for a person while they work on what they power.
//
// A lease is a promise between honest people, not a lock of the device: a
// local user who can open the line can always switch it. relkad grants
// leases and refuses a leased outlet to everyone but its holder; relkactl
// refuses it too, unless told to break the lease.
//
// The leases of one box live beside its remembered state, in the same
// folder and under the same adapter identity, in "<identity>.box<N>.lease":
//   # relkad: outlets leased on this box
//   lease 3 alice 1765200000
// (outlet, holder, end as seconds since the epoch, UTC). A lease past its
// end is over: readers skip it, the next change drops it. Every change is
// a read, a change and a rename of a new file, made under an exclusive
// flock on the state folder itself, so that two grants never both win and
// a reader never sees half a file. No file is left when no lease is.
#ifndef RELKA_OUTLET_LEASE_STORE_H_
#define RELKA_OUTLET_LEASE_STORE_H_

#include <functional>
#include <string>
#include <vector>

struct outlet_lease {
  int outlet = 0;       // 1 to 8
  std::string holder;   // a user name: letters, digits, . _ - @
  long long until = 0;  // seconds since the epoch
};

// The longest lease, in seconds: 7 days.
constexpr long long max_lease_seconds = 7LL * 24 * 3600;

std::string lease_path(const std::string& folder, const std::string& identity,
                       int box);

// A holder's name as it may stand in the file (and in a log line).
bool valid_holder(const std::string& name);

// The leases of `path` still running at `now`. A missing file holds none;
// a file that cannot be read says why in `problem` and holds none.
std::vector<outlet_lease> read_leases(const std::string& path, long long now,
                                      std::string* problem);

// The running lease of `outlet` in `leases`, or nullptr.
const outlet_lease* lease_of(const std::vector<outlet_lease>& leases,
                             int outlet);

// The first lease in `leases` on one of `outlets` (bit N-1 for outlet N)
// held by someone other than `user`, or nullptr.
const outlet_lease* lease_in_the_way(const std::vector<outlet_lease>& leases,
                                     int outlets, const std::string& user);

// Changes the leases of `path` under the folder's lock: `change` gets the
// running ones and edits them (false: nothing to write). False, with
// `problem`, when the folder cannot be locked or the file written.
bool change_leases(
    const std::string& path, long long now,
    const std::function<bool(std::vector<outlet_lease>*)>& change,
    std::string* problem);

// "2026-12-08T18:00:00Z".
std::string lease_time_text(long long seconds);

#endif  // RELKA_OUTLET_LEASE_STORE_H_
