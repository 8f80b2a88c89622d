// SPDX-License-Identifier: MIT
// relkad's answers, made in one place for every route: JSON bodies whose
// every text goes out as valid UTF-8 (a bad byte becomes U+FFFD, never an
// exception), failures as {"error": ...}, and labgrid's plain text.
#ifndef RELKA_RELKAD_ANSWERS_H_
#define RELKA_RELKAD_ANSWERS_H_

#include <nlohmann/json_fwd.hpp>
#include <string>

#include "relkad/http_api.h"

http_response json_answer(int status, const nlohmann::json& body);

// {"error": `error`}; `plain`: the text alone, a line of its own, as
// labgrid's routes answer.
http_response error_answer(int status, const std::string& error,
                           bool plain = false);

// `body` as text/plain, made valid UTF-8.
http_response text_answer(int status, const std::string& body);

#endif  // RELKA_RELKAD_ANSWERS_H_
