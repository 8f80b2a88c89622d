// SPDX-License-Identifier: MIT
// relkad's request handling on any request: the input is split at NUL bytes
// into method, path, body, Origin, Host, Authorization, Sec-Fetch-Site and
// X-Relkad-Request. The seeds include every row of relkad's table of
// hostile requests (relkad/http_api_test.cc).
// The lab's line leads nowhere, so whatever gets through to switching fails
// at the open and no serial port is ever touched.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "control/clean_text.h"
#include "control/lab_file.h"
#include "relkad/http_api.h"

namespace {

const char kLab[] =
    "[line.nowhere]\ndevice = \"/nonexistent/relka-fuzz\"\n"
    "[box.top]\nline = \"nowhere\"\naddress = 1\n"
    "[outlet.web1]\nbox = \"top\"\noutlet = 3\n";

std::string g_folder;

void remove_folder() {
  if (g_folder.empty()) return;
  unlink((g_folder + "/lab.toml").c_str());
  rmdir(g_folder.c_str());
}

http_api& api() {
  static line_workers lines;
  static http_api* made = [] {
    char pattern[] = "/tmp/relkad-fuzz.XXXXXX";
    g_folder = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    atexit(remove_folder);
    std::string path = g_folder + "/lab.toml";
    FILE* file = fopen(path.c_str(), "w");
    if (file != nullptr) {
      fputs(kLab, file);
      fclose(file);
    }
    lab_file lab;
    std::string error;
    if (!load_lab_file(path, &lab, &error)) abort();
    api_settings settings;
    settings.state_dir = g_folder;
    settings.wait = 0;
    settings.public_origin = "https://lab.example";
    return new http_api(lab, settings, lines);
  }();
  return *made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      parts.emplace_back();
    else
      parts.back() += static_cast<char>(data[i]);
  }
  parts.resize(8);
  http_request request;
  request.method = parts[0];
  request.path = parts[1];
  request.body = parts[2].substr(0, http_api::max_body);
  request.body_too_large = parts[2].size() > http_api::max_body;
  request.origin = parts[3];
  request.host = parts[4].empty() ? "127.0.0.1:7421" : parts[4];
  request.authorization = parts[5];
  request.fetch_site = parts[6];
  request.page_request = parts[7];
  request.client = "127.0.0.1";
  http_response response = api().handle(request);
  // Every answer is an HTTP status, with a body to send in valid UTF-8.
  if (response.status < 200 || response.status > 599) abort();
  if (valid_utf8(response.body) != response.body) abort();
  return 0;
}
