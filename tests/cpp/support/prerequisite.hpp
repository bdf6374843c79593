// What a test does when something it needs from outside the program is missing (a
// reference tool, the ONNX Runtime, a model): on a developer's machine it skips with the
// message; under CI=true it fails, because there a skip would hide a missing install step.
//
//   if (!have_tool("flac")) MURELLO_MISSING_PREREQUISITE() << "flac is not installed";
//
// Like GTEST_SKIP, it returns from the test body or SetUp.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace murello::testing {

inline bool prerequisites_required() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}

}  // namespace murello::testing

#define MURELLO_MISSING_PREREQUISITE()                                             \
  return GTEST_MESSAGE_("Missing prerequisite",                                    \
                        ::murello::testing::prerequisites_required()               \
                            ? ::testing::TestPartResult::kFatalFailure             \
                            : ::testing::TestPartResult::kSkip)
