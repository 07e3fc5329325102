// Every message box goes through ShowBox (box_win.h). Without a user a box also writes its
// caption and text to the log and closes itself after a time limit as if its default button
// had been pressed, so that nothing an unattended run shows can hold it.
#pragma once
#include <cstddef>

// unattendedTimeoutMs 0: boxes wait for a user. report (may be null) hears of every box with
// its log line (see FormatBoxLogLine) and whether it is shown without a user.
void SetBoxPolicy(int unattendedTimeoutMs, void (*report)(const char* line, bool unattended));
int BoxTimeoutMs();
void ReportBox(const char* caption, const char* text);

// "<caption>: <text>" ("<text>" with an empty caption) on one line: CR, LF and tab become
// blanks. Cut to fit outSize; returns the length.
std::size_t FormatBoxLogLine(char* out, std::size_t outSize, const char* caption, const char* text);
