// SPDX-License-Identifier: MIT
// relka-sim run: any command (a lab script, pdudaemon, pytest) against
// virtual boxes, with a report of what the boxes received.
#ifndef RELKA_SIM_LAB_RUN_H_
#define RELKA_SIM_LAB_RUN_H_

#include <string>
#include <vector>

extern const char lab_usage[];

// argv[0] is "run". `tools` is the folder whose relka and relkactl the
// command finds first on its PATH. Returns the command's exit status, or
// `failed` for relka-sim's own failures.
int run_lab(const std::vector<std::string>& args, const std::string& tools,
            int failed);

#endif  // RELKA_SIM_LAB_RUN_H_
