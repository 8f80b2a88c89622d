// SPDX-License-Identifier: MIT
// The small files of the state folder (a box's remembered state, its
// leases): what their readers and writers share. Such a file is read whole
// through a descriptor that follows no link and never waits, and only when
// it is a regular file of at most 4096 bytes; anything else is refused by
// name, never half read. Failures are texts for the caller's `problem`,
// with the system's reason.
#ifndef RELKA_OUTLET_STATE_FILES_H_
#define RELKA_OUTLET_STATE_FILES_H_

#include <string>

// The folder `path` is in: "." for a bare name, "/" at the root.
std::string folder_of(const std::string& path);

// "`what`: <errno's text>".
std::string system_error(const std::string& what);

// The whole of `path` in `*text`. False when it is missing (`problem`
// empty) or cannot be read, or is no regular file of at most 4096 bytes
// ("PATH is not a `kind`"). `shared`: under a shared flock, so that a
// writer's text is read whole or not at all.
bool read_small_file(const std::string& path, const std::string& kind,
                     bool shared, std::string* text, std::string* problem);

// Removes `path`; one that is not there is gone already. False, with
// `problem`, when it is there and cannot be removed.
bool remove_file(const std::string& path, std::string* problem);

// Makes the state folder when it is missing (the package makes it with the
// right group). Only a missing one: a service with RestrictSUIDSGID (every
// DynamicUser unit, pdudaemon's and relkad's) is refused any mkdir that
// asks for the set-group-ID bit, also where the folder is there. False,
// with errno set, when it is missing and cannot be made.
bool make_state_folder(const std::string& folder);

// The time `since_1970` seconds after 1970-01-01 in UTC, ISO 8601:
// "2026-12-08T10:15:00Z" (a year past 9999 takes more digits).
std::string utc_text(long long since_1970);

#endif  // RELKA_OUTLET_STATE_FILES_H_
