// Without a user: the one periodic check of the server-silence and inactivity limits, and the
// rate window the transport is given for the run.
#include <windows.h>

#include "base/box_win.h"
#include "base/run_result.h"
#include "base/time_limits.h"
#include "session/session_watch.h"
#include "ui/session_win.h"
#include "transport/framing.h"

namespace {

int SilenceLimitMs() {
    return TimeLimitMs("KLV_TEST_SILENCE_MS", SERVER_IDLE_LIMIT_MS);
}

int InactivityLimitMs() {
    return TimeLimitMs("KLV_TEST_INACTIVITY_MS", kInactivityLimitMs);
}

} // namespace

std::int64_t SessionClockMs() {
    return static_cast<std::int64_t>(GetTickCount64());
}

void StartWatchTimer(MainWindow& main, Session& s) {
    const int silence = SilenceLimitMs(), inactivity = InactivityLimitMs();
    const int shortest = silence < inactivity ? silence : inactivity;
    StartProgressWatch(s, SessionClockMs());
    // While a frame is read or sent no timer runs: the transport itself ends a frame that has
    // had no byte for the stall limit or, past the inactivity limit, averages under 256 B/s.
    SetTransportRateWindow(inactivity);
    SetTimer(main.window, INACTIVITY_TIMER_ID, shortest < 4000 ? shortest / 4 : 1000, nullptr);
}

void OnWatchTimer(MainWindow& main) {
    Session* s = main.sessions.Current();
    if (s == nullptr) {
        KillTimer(main.window, INACTIVITY_TIMER_ID);
        return;
    }
    const WatchEnding ending =
        CheckWatch(*s, SessionClockMs(), SilenceLimitMs(), InactivityLimitMs(), SelfClosingBoxUp());
    if (ending == WatchEnding::None)
        return;
    KillTimer(main.window, INACTIVITY_TIMER_ID);
    LogRunFailure(ending == WatchEnding::ServerSilence ? "Exiting Due To Server Timeout"
                                                       : "Exiting Due To Inactivity");
    EndSession(main);
}

void WatchServerSilence(MainWindow& main) {
    Session* s = main.sessions.Current();
    if (!main.options.UserInteraction && s != nullptr)
        StartSilenceWatch(*s, SessionClockMs());
}
