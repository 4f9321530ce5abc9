// SPDX-License-Identifier: GPL-3.0-or-later
// Tests that need the test audio server (scripts/test starts a private PulseAudio and sets
// PULSE_SERVER) skip themselves without it, so a plain ctest run on a desktop still passes; with
// TALLAMO_REQUIRE_AUDIO_SERVER=1 (scripts/test, hence CI) they fail instead, so a run can never pass
// without having tested them.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace testing_support {

inline bool audioServerRequired() {
    const char* value = std::getenv("TALLAMO_REQUIRE_AUDIO_SERVER");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

inline bool audioServerRuns() {
    const char* value = std::getenv("PULSE_SERVER");
    return value != nullptr && *value != '\0';
}

}  // namespace testing_support

// Skips the test (or fails it, when the server is required) unless `available`; `what` says what is
// missing. For a test body or a fixture's SetUp.
#define TALLAMO_SKIP_UNLESS_AUDIO(available, what)                                                  \
    do {                                                                                            \
        if (!(available)) {                                                                         \
            if (testing_support::audioServerRequired()) FAIL() << "required but missing: " << what; \
            GTEST_SKIP() << what;                                                                   \
        }                                                                                           \
    } while (false)

// The test audio server itself.
#define TALLAMO_NEED_AUDIO_SERVER() \
    TALLAMO_SKIP_UNLESS_AUDIO(testing_support::audioServerRuns(), "no test audio server (PULSE_SERVER unset)")
