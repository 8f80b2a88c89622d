// SPDX-License-Identifier: MIT
// relkad: the boxes of a host as a network power switch. It reads the lab
// file and serves every named box and outlet over HTTP (see http_api.h),
// from systemd's socket or its own, switching through the same core as
// relkactl, so both work side by side on the same lines, locks and state.
#ifndef RELKA_RELKAD_RELKAD_MAIN_H_
#define RELKA_RELKAD_RELKAD_MAIN_H_

int relkad_main(int argc, char** argv);

#endif  // RELKA_RELKAD_RELKAD_MAIN_H_
