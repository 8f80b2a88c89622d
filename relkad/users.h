// SPDX-License-Identifier: MIT
// relkad's users: one token per person, and the outlets each may switch.
//
// The users file (--users, or $CREDENTIALS_DIRECTORY/users) is TOML with
// one table per user:
//
//   [alice]
//   token_sha256 = "9f86d0...0a08"  # 64 hex digits
//   may = ["web*", "rack1-top"]     # outlets and boxes of the lab file
//   lease_admin = true              # may end anyone's lease
//
// A request carries the user's token as its HTTP Basic password (any
// user name, as labgrid and the single token have it): the token says
// who, through the SHA-256 the file holds (the file never holds a token),
// so no two users may share one. `may` lists names or *-patterns over the lab
// file's outlet and box names; a box grants all its outlets. Everyone may read
// every state. The file is checked whole at start: any mistake (an unknown key,
// a pattern that matches nothing, a hash that is not 64 hex digits) refuses it
// with the file, the line and what is wrong, and a file that others may read or
// write is refused too.
#ifndef RELKA_RELKAD_USERS_H_
#define RELKA_RELKAD_USERS_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "control/lab_file.h"

struct relkad_user {
  std::string name;
  std::string token_sha256;  // 64 lowercase hex digits
  bool lease_admin = false;
  // Per box name, the outlets this user may switch (bit N-1: outlet N).
  std::map<std::string, int> may;
};

class users_file {
 public:
  // False with "FILE:LINE: what is wrong" (or "FILE: why") in `error`.
  bool load(const std::string& path, const lab_file& lab, std::string* error);

  // The user whose token is `token`, or nullptr. Every user's hash is
  // compared in full: the time taken tells nothing of the tokens.
  const relkad_user* check(const std::string& token) const;
  const relkad_user* find(const std::string& name) const;
  size_t size() const { return users_.size(); }

 private:
  std::vector<relkad_user> users_;
};

// May `user` switch `outlets` of `box`? nullptr stands for the one user of
// a single token (or of no authentication): everything.
bool may_switch(const relkad_user* user, const std::string& box, int outlets);

// The outlets of `outlets` that `user` may not switch on `box`.
int refused_outlets(const relkad_user* user, const std::string& box,
                    int outlets);

// The users file of --users (`given`), else $CREDENTIALS_DIRECTORY/users
// when there, loaded into `users` (left empty when there is none). False,
// with `error`, for a file with a mistake, or one that comes with a token
// (`token_too`): the two are never combined.
bool load_users_option(const std::string& given, bool token_too,
                       const lab_file& lab,
                       std::shared_ptr<const users_file>* users,
                       std::string* error);

// Whether `a` and `b` are the same, comparing all of `a` whatever differs
// first: the time taken says nothing of a token or a hash.
bool same_secret(const std::string& a, const std::string& b);

// SHA-256 of `text` in lowercase hex.
std::string sha256_hex(const std::string& text);

// relkad --hash-token: reads a token on standard input and prints the
// line of the users file that stands for it. The exit status.
int hash_token_main();

#endif  // RELKA_RELKAD_USERS_H_
