// SPDX-License-Identifier: MIT
#include "relkad/users.h"

#include <nettle/sha2.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

// Header-only, without exceptions, as the lab file reads it.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "control/bounded_file.h"
#include "control/clean_text.h"
#include "outlet/lease_store.h"

namespace {

constexpr size_t kMaxUsersFile = 1 << 20;

// '*' stands for any run of characters; everything else for itself.
bool matches(const char* pattern, const char* name) {
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*')
    return matches(pattern + 1, name) ||
           (*name != '\0' && matches(pattern, name + 1));
  return *pattern == *name && matches(pattern + 1, name + 1);
}

bool hex_digest(const std::string& text) {
  return text.size() == 64 &&
         text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// Reads one users file; the first mistake ends it.
class users_reader {
 public:
  users_reader(std::string path, const lab_file& lab)
      : path_(std::move(path)), lab_(lab) {}

  bool user_of(const toml::key& name, const toml::node& node,
               relkad_user* user) {
    const toml::table* fields = node.as_table();
    user->name = std::string(name.str());
    if (fields == nullptr)
      return fail(name.source(), "'" + user->name + "' must be a table, as [" +
                                     user->name + "]");
    if (!valid_holder(user->name))
      return fail(name.source(), "'" + user->name +
                                     "' is not a user name: letters, digits, "
                                     "'.', '_', '-' and '@'");
    for (auto&& [key, value] : *fields)
      if (!field_of(key, value, user)) return false;
    if (user->token_sha256.empty())
      return fail(name.source(),
                  "user '" + user->name + "' has no token_sha256");
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  bool fail(const toml::source_region& where, const std::string& what) {
    error_ = path_ + ":" + std::to_string(where.begin.line) + ": " + what;
    return false;
  }

  bool field_of(const toml::key& key, const toml::node& value,
                relkad_user* user) {
    std::string label = " of user '" + user->name + "'";
    if (key.str() == "token_sha256") {
      std::optional<std::string> text = value.value<std::string>();
      if (!value.is_string() || !hex_digest(*text))
        return fail(value.source(), "token_sha256" + label +
                                        " must be 64 hex digits (relkad "
                                        "--hash-token prints it)");
      user->token_sha256 = lower_case(*text);
      return true;
    }
    if (key.str() == "lease_admin") {
      if (!value.is_boolean())
        return fail(value.source(),
                    "lease_admin" + label + " must be true or false");
      user->lease_admin = *value.value<bool>();
      return true;
    }
    if (key.str() == "may") {
      const toml::array* list = value.as_array();
      if (list == nullptr)
        return fail(value.source(), "may" + label +
                                        " must be a list of names, as "
                                        "[\"web*\", \"rack1-top\"]");
      for (const toml::node& item : *list)
        if (!pattern_of(item, label, user)) return false;
      return true;
    }
    return fail(key.source(),
                "unknown key '" + std::string(key.str()) + "'" + label +
                    " (it may have token_sha256, may, lease_admin)");
  }

  // One name or pattern of `may`: what it grants, or a mistake when it
  // grants nothing.
  bool pattern_of(const toml::node& item, const std::string& label,
                  relkad_user* user) {
    std::optional<std::string> pattern = item.value<std::string>();
    if (!item.is_string() || pattern->empty())
      return fail(item.source(),
                  "may" + label + " holds something that is not a name");
    bool any = false;
    for (const named_box& b : lab_.boxes)
      if (matches(pattern->c_str(), b.name.c_str())) {
        user->may[b.name] = 0xff;
        any = true;
      }
    for (const named_outlet& o : lab_.outlets)
      if (matches(pattern->c_str(), o.name.c_str())) {
        user->may[o.box] |= 1 << (o.outlet - 1);
        any = true;
      }
    if (!any)
      return fail(item.source(), "'" + *pattern + "' in may" + label +
                                     " matches no outlet or box of the lab "
                                     "file " +
                                     lab_.path);
    return true;
  }

  std::string path_;
  const lab_file& lab_;
  std::string error_;
};

}  // namespace

bool users_file::load(const std::string& path, const lab_file& lab,
                      std::string* error) {
  users_.clear();
  // A regular file, bounded, that others may neither read nor write (it
  // says who may switch what).
  std::string text, why;
  bounded_read got = read_bounded_text(path, kMaxUsersFile, &text, &why, 006);
  if (got == bounded_read::too_large) why = "larger than 1 MiB";
  if (got == bounded_read::forbidden)
    why = "others may read or write it; make it mode 0600 (or 0640, 0400)";
  if (got != bounded_read::done) {
    *error = path + ": " + why;
    return false;
  }
  toml::parse_result parsed = toml::parse(text, path);
  if (!parsed) {
    *error = path + ":" + std::to_string(parsed.error().source().begin.line) +
             ": " + std::string(parsed.error().description());
    return false;
  }
  users_reader reader(path, lab);
  for (auto&& [name, node] : parsed.table()) {
    relkad_user user;
    if (!reader.user_of(name, node, &user)) {
      *error = reader.error();
      users_.clear();
      return false;
    }
    for (const relkad_user& other : users_)
      if (other.token_sha256 == user.token_sha256) {
        *error = path + ":" + std::to_string(name.source().begin.line) +
                 ": user '" + user.name + "' has the token of user '" +
                 other.name +
                 "': the token says who is asking, so each "
                 "user needs one of their own";
        users_.clear();
        return false;
      }
    users_.push_back(user);
  }
  if (users_.empty()) {
    *error = path + ": no users: add a table per user, as [alice]";
    return false;
  }
  return true;
}

const relkad_user* users_file::check(const std::string& token) const {
  std::string digest = sha256_hex(token);
  const relkad_user* found = nullptr;
  for (const relkad_user& u : users_)
    if (same_secret(digest, u.token_sha256)) found = &u;
  return found;
}

const relkad_user* users_file::find(const std::string& name) const {
  for (const relkad_user& u : users_)
    if (u.name == name) return &u;
  return nullptr;
}

int refused_outlets(const relkad_user* user, const std::string& box,
                    int outlets) {
  if (user == nullptr) return 0;
  auto granted = user->may.find(box);
  return outlets & ~(granted == user->may.end() ? 0 : granted->second);
}

bool may_switch(const relkad_user* user, const std::string& box, int outlets) {
  return refused_outlets(user, box, outlets) == 0;
}

bool load_users_option(const std::string& given, bool token_too,
                       const lab_file& lab,
                       std::shared_ptr<const users_file>* users,
                       std::string* error) {
  std::string path = given;
  const char* credentials = getenv("CREDENTIALS_DIRECTORY");
  struct stat st {};
  if (path.empty() && credentials != nullptr) {
    std::string there = std::string(credentials) + "/users";
    if (stat(there.c_str(), &st) == 0) path = there;
  }
  if (path.empty()) return true;
  if (token_too) {
    *error = "a users file (" + path +
             ") and a token are not combined: give users their tokens in "
             "the users file, or serve one token alone";
    return false;
  }
  auto loaded = std::make_shared<users_file>();
  if (!loaded->load(path, lab, error)) return false;
  *users = loaded;
  return true;
}

bool same_secret(const std::string& a, const std::string& b) {
  unsigned diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i]) ^
            static_cast<unsigned char>(i < b.size() ? b[i] : 0);
  return diff == 0;
}

std::string sha256_hex(const std::string& text) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, text.size(),
                reinterpret_cast<const uint8_t*>(text.data()));
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context, sizeof digest, digest);
  std::string hex;
  char pair[3];
  for (uint8_t byte : digest) {
    snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

int hash_token_main() {
  if (isatty(STDIN_FILENO)) fputs("token: ", stderr);
  char line[516] = "";
  std::string token;
  if (fgets(line, sizeof line, stdin) != nullptr) token = line;
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
    token.pop_back();
  if (token.size() < 16 || token.size() > 512) {
    fputs(
        "relkad: --hash-token reads one token of 16 to 512 characters on "
        "standard input\n",
        stderr);
    return 2;
  }
  printf("token_sha256 = \"%s\"\n", sha256_hex(token).c_str());
  return fflush(stdout) == 0 ? 0 : 2;
}
