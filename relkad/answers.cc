// SPDX-License-Identifier: MIT
#include "relkad/answers.h"

#include <nlohmann/json.hpp>

#include "control/clean_text.h"

using json = nlohmann::json;

http_response json_answer(int status, const json& body) {
  http_response r;
  r.status = status;
  r.body = body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  return r;
}

http_response error_answer(int status, const std::string& error, bool plain) {
  return plain ? text_answer(status, error + "\n")
               : json_answer(status, json{{"error", error}});
}

http_response text_answer(int status, const std::string& body) {
  http_response r;
  r.status = status;
  r.content_type = "text/plain; charset=utf-8";
  r.body = valid_utf8(body);
  return r;
}
