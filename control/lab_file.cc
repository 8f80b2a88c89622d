// SPDX-License-Identifier: MIT
#include "control/lab_file.h"

#include <ctype.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <set>
#include <utility>

// Header-only, without exceptions: nothing of toml++ is needed at run time.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "control/bounded_file.h"
#include "control/clean_text.h"

namespace {

// A lab file is a few kilobytes; anything larger is not one.
constexpr size_t kMaxLabFile = 1 << 20;

// Letters, digits, '.', '_' and '-', starting with a letter or digit; not
// a number (that is an outlet) and not "all".
bool good_name(const std::string& name) {
  if (name.empty() || name.size() > 64 ||
      !isalnum(static_cast<unsigned char>(name[0])))
    return false;
  for (char c : name)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' &&
        c != '-')
      return false;
  return name != "all" &&
         name.find_first_not_of("0123456789") != std::string::npos;
}

// Checks one lab file and gathers what it names; the first mistake ends
// the check.
class lab_reader {
 public:
  explicit lab_reader(std::string path) : path_(std::move(path)) {}

  bool read(const toml::table& root, lab_file* lab) {
    for (auto&& [kind, node] : root) {
      const toml::table* tables = node.as_table();
      if (kind.str() != "line" && kind.str() != "box" && kind.str() != "outlet")
        return fail(kind.source(), "unknown table '" + std::string(kind.str()) +
                                       "': a lab file has line, box and "
                                       "outlet tables");
      if (tables == nullptr)
        return fail(kind.source(), "'" + std::string(kind.str()) +
                                       "' must be tables, as [" +
                                       std::string(kind.str()) + ".NAME]");
      for (auto&& [name, entry] : *tables)
        if (!entry_of(kind.str(), name, entry, lab)) return false;
    }
    // TOML tables come sorted by key; people read their lab in the order
    // they wrote it.
    in_file_order(&lab->lines);
    in_file_order(&lab->boxes);
    in_file_order(&lab->outlets);
    return links_hold(*lab);
  }

  const std::string& error() const { return error_; }

 private:
  template <class T>
  void in_file_order(std::vector<T>* items) {
    std::stable_sort(
        items->begin(), items->end(), [this](const T& a, const T& b) {
          return where_[a.name].begin.line < where_[b.name].begin.line;
        });
  }

  bool fail(const toml::source_region& where, const std::string& what) {
    error_ = path_ + ":" + std::to_string(where.begin.line) + ": " + what;
    return false;
  }

  bool entry_of(std::string_view kind, const toml::key& name,
                const toml::node& entry, lab_file* lab) {
    std::string label =
        std::string(kind) + " '" + std::string(name.str()) + "'";
    const toml::table* fields = entry.as_table();
    if (fields == nullptr)
      return fail(name.source(), label + " must be a table, as [" +
                                     std::string(kind) + "." +
                                     std::string(name.str()) + "]");
    if (!good_name(std::string(name.str())))
      return fail(name.source(),
                  "'" + std::string(name.str()) +
                      "' is not a name: letters, digits, '.', '_' and '-', "
                      "not a number and not 'all'");
    auto [at, fresh] = lines_of_names_.emplace(std::string(name.str()),
                                               name.source().begin.line);
    if (!fresh)
      return fail(name.source(), "the name '" + std::string(name.str()) +
                                     "' is used twice (also on line " +
                                     std::to_string(at->second) + ")");
    where_[std::string(name.str())] = name.source();
    if (kind == "line")
      return line_of(std::string(name.str()), label, *fields, lab);
    if (kind == "box")
      return box_of(std::string(name.str()), label, *fields, lab);
    return outlet_of(std::string(name.str()), label, *fields, lab);
  }

  // Every key of `fields` must be one of `known`.
  bool only_keys(const toml::table& fields, const std::string& label,
                 std::initializer_list<const char*> known) {
    for (auto&& entry : fields) {
      const toml::key& key = entry.first;
      if (std::none_of(known.begin(), known.end(),
                       [&key](const char* k) { return key.str() == k; })) {
        std::string list;
        for (const char* k : known)
          list.append(list.empty() ? "" : ", ").append(k);
        std::string what = "unknown key '";
        what.append(key.str()).append("' in ").append(label);
        what.append(" (it may have ").append(list).append(")");
        return fail(key.source(), what);
      }
    }
    return true;
  }

  bool text_field(const toml::table& fields, const char* key,
                  const std::string& label, const toml::source_region& entry,
                  std::string* value) {
    const toml::node* node = fields.get(key);
    if (node == nullptr) return fail(entry, label + " has no " + key);
    std::optional<std::string> text = node->value<std::string>();
    if (!text || text->empty())
      return fail(node->source(), std::string(key) + " of " + label +
                                      " must be a non-empty string");
    *value = *text;
    return true;
  }

  bool whole_field(const toml::table& fields, const char* key, int low,
                   int high, const std::string& label,
                   const toml::source_region& entry, int* value) {
    const toml::node* node = fields.get(key);
    if (node == nullptr) return fail(entry, label + " has no " + key);
    std::optional<int64_t> number =
        node->is_integer() ? node->value<int64_t>() : std::nullopt;
    if (!number || *number < low || *number > high)
      return fail(node->source(), std::string(key) + " of " + label +
                                      " must be a whole number from " +
                                      std::to_string(low) + " to " +
                                      std::to_string(high));
    *value = static_cast<int>(*number);
    return true;
  }

  bool delay_field(const toml::table& fields, const std::string& label,
                   double* value) {
    const toml::node* node = fields.get("cycle_delay");
    if (node == nullptr) return true;
    std::optional<double> seconds = node->value<double>();
    if (!node->is_number() || !seconds || !(*seconds >= 0) || *seconds > 86400)
      return fail(node->source(), "cycle_delay of " + label +
                                      " must be a number of seconds from 0 "
                                      "to 86400");
    *value = *seconds;
    return true;
  }

  bool line_of(const std::string& name, const std::string& label,
               const toml::table& fields, lab_file* lab) {
    named_line line;
    line.name = name;
    if (!only_keys(fields, label, {"device"}) ||
        !text_field(fields, "device", label, where_[name], &line.device))
      return false;
    lab->lines.push_back(line);
    return true;
  }

  bool box_of(const std::string& name, const std::string& label,
              const toml::table& fields, lab_file* lab) {
    named_box box;
    box.name = name;
    if (!only_keys(fields, label, {"line", "address", "cycle_delay"}) ||
        !text_field(fields, "line", label, where_[name], &box.line) ||
        !whole_field(fields, "address", 0, 127, label, where_[name],
                     &box.address) ||
        !delay_field(fields, label, &box.cycle_delay))
      return false;
    lab->boxes.push_back(box);
    return true;
  }

  bool outlet_of(const std::string& name, const std::string& label,
                 const toml::table& fields, lab_file* lab) {
    named_outlet outlet;
    outlet.name = name;
    if (!only_keys(fields, label, {"box", "outlet", "cycle_delay"}) ||
        !text_field(fields, "box", label, where_[name], &outlet.box) ||
        !whole_field(fields, "outlet", 1, 8, label, where_[name],
                     &outlet.outlet) ||
        !delay_field(fields, label, &outlet.cycle_delay))
      return false;
    lab->outlets.push_back(outlet);
    return true;
  }

  // Every box on a line of the file, every outlet on a box of it, and no
  // two names for one box or one outlet.
  bool links_hold(const lab_file& lab) {
    std::set<std::pair<std::string, int>> boxes, outlets;
    for (const named_box& box : lab.boxes) {
      if (lab.line(box.line) == nullptr)
        return fail(where_[box.name], "box '" + box.name + "' is on line '" +
                                          box.line +
                                          "', which the file does not name");
      if (!boxes.emplace(box.line, box.address).second)
        return fail(where_[box.name], "box '" + box.name +
                                          "' has the address of another box "
                                          "on line '" +
                                          box.line + "'");
    }
    for (const named_outlet& outlet : lab.outlets) {
      if (lab.box(outlet.box) == nullptr)
        return fail(where_[outlet.name], "outlet '" + outlet.name +
                                             "' is on box '" + outlet.box +
                                             "', which the file does not name");
      if (!outlets.emplace(outlet.box, outlet.outlet).second)
        return fail(where_[outlet.name],
                    "outlet " + std::to_string(outlet.outlet) + " of box '" +
                        outlet.box + "' has another name already");
    }
    return true;
  }

  std::string path_;
  std::string error_;
  std::map<std::string, uint32_t> lines_of_names_;
  std::map<std::string, toml::source_region> where_;
};

// Edits that turn one word into the other, a swap of two neighbours
// counting as one (optimal string alignment), for suggestions.
size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1,
                                     std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i)
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

// toml++'s word for a mistake people often make, in plain words; others
// as toml++ says them.
std::string plain_words(std::string_view description) {
  struct wording {
    const char* says;
    const char* means;
  };
  static const wording kPlain[] = {
      {"control characters other than TAB",
       "a string is not closed: the line ends before its closing quote"},
      {"expected '='",
       "a key needs '=' and a value, as device = \"/dev/ttyUSB0\""},
      {"cannot redefine existing table",
       "a table is written twice: give each [kind.NAME] once, with all its "
       "keys"},
      {"could not determine value type",
       "a value must be a number, or text in double quotes"},
  };
  for (const wording& w : kPlain)
    if (description.find(w.says) != std::string_view::npos) return w.means;
  return std::string(description);
}

template <class T>
const T* named(const std::vector<T>& items, const std::string& name) {
  for (const T& item : items)
    if (item.name == name) return &item;
  return nullptr;
}

}  // namespace

const named_line* lab_file::line(const std::string& name) const {
  return named(lines, name);
}

const named_box* lab_file::box(const std::string& name) const {
  return named(boxes, name);
}

const named_outlet* lab_file::outlet(const std::string& name) const {
  return named(outlets, name);
}

std::string lab_file::device_of(const named_box& b) const {
  const named_line* l = line(b.line);
  return l != nullptr ? l->device : "";
}

const named_box* lab_file::box_at(const std::string& device,
                                  int address) const {
  for (const named_box& b : boxes)
    if (b.address == address && device_of(b) == device) return &b;
  return nullptr;
}

std::string lab_file::outlet_name(const std::string& box_name,
                                  int number) const {
  for (const named_outlet& o : outlets)
    if (o.box == box_name && o.outlet == number) return o.name;
  return "";
}

double lab_file::cycle_delay(const named_box& b, int mask) const {
  double longest = -1;
  for (int n = 1; n <= 8; ++n) {
    if ((mask & (1 << (n - 1))) == 0) continue;
    const named_outlet* own = outlet(outlet_name(b.name, n));
    longest = std::max(longest, own != nullptr && own->cycle_delay >= 0
                                    ? own->cycle_delay
                                    : b.cycle_delay);
  }
  return longest;
}

std::vector<std::string> lab_file::closest_names(
    const std::string& word) const {
  std::vector<std::string> names;
  for (const named_line& l : lines) names.push_back(l.name);
  for (const named_box& b : boxes) names.push_back(b.name);
  for (const named_outlet& o : outlets) names.push_back(o.name);
  return closest_words(word, names);
}

std::vector<std::string> closest_words(
    const std::string& word, const std::vector<std::string>& candidates) {
  std::string typed = lower_case(word);
  std::vector<std::pair<size_t, std::string>> near;
  for (const std::string& name : candidates) {
    std::string candidate = lower_case(name);
    size_t distance = edit_distance(typed, candidate);
    if (!typed.empty() && candidate.compare(0, typed.size(), typed) == 0)
      distance = 0;
    if (distance <= std::max<size_t>(1, typed.size() / 4))
      near.emplace_back(distance, name);
  }
  std::stable_sort(near.begin(), near.end(), [](const auto& a, const auto& b) {
    return a.first < b.first;
  });
  std::vector<std::string> out;
  for (size_t i = 0; i < near.size() && i < 3; ++i)
    out.push_back(near[i].second);
  return out;
}

std::string did_you_mean(const std::vector<std::string>& words) {
  if (words.empty()) return "";
  std::string text = " (did you mean ";
  for (size_t i = 0; i < words.size(); ++i)
    text += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
  return text + "?)";
}

bool load_lab_file(const std::string& path, lab_file* lab, std::string* error) {
  *lab = lab_file();
  std::string text, why;
  bounded_read got = read_bounded_text(path, kMaxLabFile, &text, &why);
  if (got == bounded_read::too_large) why = "larger than 1 MiB, not a lab file";
  if (got != bounded_read::done) {
    *error = path + ": " + why;
    return false;
  }
  toml::parse_result parsed = toml::parse(text, path);
  if (!parsed) {
    *error = path + ":" + std::to_string(parsed.error().source().begin.line) +
             ": " + plain_words(parsed.error().description());
    return false;
  }
  lab_file read;
  read.path = path;
  lab_reader reader(path);
  if (!reader.read(parsed.table(), &read)) {
    *error = reader.error();
    return false;
  }
  *lab = std::move(read);
  return true;
}

std::string lab_file_path(const std::string& option, bool* chosen) {
  *chosen = true;
  if (!option.empty()) return option;
  const char* variable = getenv("RELKA_LAB");
  if (variable != nullptr && *variable != '\0') return variable;
  *chosen = false;
  return default_lab_file;
}
