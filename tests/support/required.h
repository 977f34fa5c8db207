// A test that needs something the machine may lack (a package, a tool): without it
// the test is skipped on a developer's machine, but fails where CI=true, so a green
// CI run means the test ran.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace testsupport {

inline bool InCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0;
}

}  // namespace testsupport

// Ends the test when `have` is false: a failure under CI=true, a skip elsewhere.
// Used as a statement; `what` is evaluated only when it is missing.
#define REQUIRE_DEPENDENCY(have, what)                                                             \
    if (have) {                                                                                    \
    } else if (testsupport::InCi())                                                                \
        GTEST_FAIL() << "missing under CI=true: " << what;                                         \
    else                                                                                           \
        GTEST_SKIP() << "missing: " << what
