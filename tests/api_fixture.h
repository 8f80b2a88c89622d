// SPDX-License-Identifier: MIT
// relkad's requests answered in this process on the emulated line: a lab
// file in a scratch folder, which is the state folder too, and an http_api
// over line workers, started (again) with the settings a test gives.
#ifndef RELKA_TESTS_API_FIXTURE_H_
#define RELKA_TESTS_API_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "control/lab_file.h"
#include "relkad/http_api.h"
#include "relkad/line_workers.h"
#include "tests/line_fixture.h"

class api_test : public line_test {
 protected:
  explicit api_test(const char* lab) : lab_text_(lab) {}

  void SetUp() override {
    line_test::SetUp();
    write_file(folder_.file("lab.toml"), lab_text_);
    std::string error;
    ASSERT_TRUE(load_lab_file(folder_.file("lab.toml"), &lab_, &error))
        << error;
  }

  // relkad (again) over the folder, waiting half a second for a busy line.
  http_api& start(api_settings settings) {
    settings.state_dir = folder_.path();
    settings.wait = 0.5;
    api_ = std::make_unique<http_api>(lab_, settings, workers_);
    return *api_;
  }

  std::string lab_text_;
  scoped_folder folder_;
  lab_file lab_;
  line_workers workers_;
  std::unique_ptr<http_api> api_;
};

#endif  // RELKA_TESTS_API_FIXTURE_H_
