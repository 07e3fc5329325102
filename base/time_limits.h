// The time limits of a run: the connect limit, and the limits that end a run without a user.
// Test builds may shorten those through environment variables (TimeLimitMs), so that the tests
// of these limits take seconds; other builds never read them.
#pragma once

// True in a test build (CMake option KLV_TEST_BUILD): it reads the KLV_TEST_* variables and may
// serve what a build for the field refuses; a field build never does.
bool IsTestBuild();

constexpr int kBoxTimeoutMs = 60000; // a box without a user closes itself
// No progress for this long: the run ends. While a frame is on its way no timer runs and the
// transport decides alone: the frame fails when no byte of it has come for the stall limit (60 s,
// as the server silence below) or when, past this limit since its first byte, its average rate
// since that byte is under 256 bytes per second. A slow but steady link (a 3 MB frame at 2 KB/s)
// keeps its frame; a byte every 59 s ends it soon after this limit.
constexpr int kInactivityLimitMs = 300000;
constexpr int kHelperWaitLimitMs = 120000; // the helper waits this long for its work
// Without a user, a server that stays silent this long ends the run: an unattended install
// never waits forever (the transport's stall limit inside a frame is the same time).
constexpr unsigned SERVER_IDLE_LIMIT_MS = 60000;
constexpr unsigned CONNECT_TIMEOUT_MS = 15000; // a connect not completed by then has failed

// defaultMs, or (test builds only) the positive number of milliseconds in the variable.
int TimeLimitMs(const char* testVariable, int defaultMs);
