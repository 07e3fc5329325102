// The time limits of a run: the connect limit, and the limits that end a run without a user.
// Test builds may shorten those through environment variables (TimeLimitMs), so that the tests
// of these limits take seconds; other builds never read them.
#pragma once

// True in a test build (CMake option KLV_TEST_BUILD): it reads the KLV_TEST_* variables and may
// serve what a build for the field refuses; a field build never does.
bool IsTestBuild();

constexpr int kBoxTimeoutMs = 60000;       // a box without a user closes itself
constexpr int kInactivityLimitMs = 300000; // no progress: the run ends
constexpr int kHelperWaitLimitMs = 120000; // the helper waits this long for its work
// Without a user, a server that stays silent this long ends the run: an unattended install
// never waits forever (the transport gives up on a stalled frame after the same time).
constexpr unsigned SERVER_IDLE_LIMIT_MS = 60000;
constexpr unsigned CONNECT_TIMEOUT_MS = 15000; // a connect not completed by then has failed

// defaultMs, or (test builds only) the positive number of milliseconds in the variable.
int TimeLimitMs(const char* testVariable, int defaultMs);
