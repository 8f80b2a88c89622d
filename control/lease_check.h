// SPDX-License-Identifier: MIT
// The switching core's look at leases (outlet/lease_store.h) before it
// opens a device: a request that would change an outlet leased to someone
// else is refused there, with the holder and the end of the lease, so that
// the line never moves for it. A request that breaks leases ends them and
// logs each one.
#ifndef RELKA_CONTROL_LEASE_CHECK_H_
#define RELKA_CONTROL_LEASE_CHECK_H_

#include <functional>
#include <string>
#include <vector>

#include "control/switch_core.h"
#include "outlet/lease_store.h"

// The lease file of a box: beside its state, under its adapter's identity
// (the terminal's name where there is no other); "" when the device leads
// nowhere.
std::string lease_file_of(const std::string& state_dir,
                          const std::string& device, int address);

// The running leases of a box.
std::vector<outlet_lease> leases_of(const std::string& state_dir,
                                    const std::string& device, int address);

// "outlet 3 of box rack1-top is leased to alice until 2026-12-08T18:00:00Z".
std::string leased_words(const box_target& target, const outlet_lease& lease);

// switch_done, or switch_state_unknown when `request`, which changes
// `outlets` of `target` (bit N-1 for outlet N), may not because someone
// else holds one (said through `say`, with the request's lease_hint, and
// the first such lease in `*in_the_way`). With break_lease the leases in
// the way are ended and logged instead. `back_on`: the second half of a
// cycle, which is never refused.
int lease_refusal(const switch_request& request, const box_target& target,
                  int outlets, bool back_on,
                  const std::function<void(const std::string&)>& say,
                  outlet_lease* in_the_way);

#endif  // RELKA_CONTROL_LEASE_CHECK_H_
