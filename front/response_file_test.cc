#include "response_file.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct removal_case {
  std::string text;
  char c;
  std::string result;
};

class remove_char_test : public testing::TestWithParam<removal_case> {};

TEST_P(remove_char_test, RemovesEveryOccurrenceInPlace) {
  std::string buffer = GetParam().text;
  remove_char(&buffer[0], GetParam().c);
  EXPECT_EQ(GetParam().result, std::string(buffer.c_str()));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, remove_char_test,
    testing::Values(removal_case{"-d /dev/x\r\n", '\n', "-d /dev/x\r"},
                    removal_case{"\r-s\r5\r", '\r', "-s5"},
                    removal_case{"", '\n', ""},
                    removal_case{"nnnn", 'n', ""},
                    removal_case{"keep", 'x', "keep"},
                    removal_case{"a\xffz\xff", '\xff', "az"},
                    removal_case{"text", '\0', "text"}));

}  // namespace
