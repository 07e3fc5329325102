// Signed programs only, in the stand-in: the administrator's policy, read for each request, and
// the same check the installer makes before it starts a received program.
#pragma once
#include <windows.h>

// True when the file may be started: no policy, or its signature verifies and its signer is
// pinned. *held is the file opened for reading (no writing or deleting shared; invalid when it
// does not open) for the caller to close after the start. A refusal is logged with the request.
bool StandInTrusts(const char* kind, const char* command, const char* file, HANDLE* held);
