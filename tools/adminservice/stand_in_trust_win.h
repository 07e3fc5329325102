// Signed programs only, in the stand-in: the administrator's policy, read for each request, and
// the same check the installer makes before it starts a received program.
#pragma once
#include <windows.h>

// True when the file may be started: no policy, or its signature verifies and its signer is
// pinned. *held is the file opened for reading (no writing or deleting shared; invalid when it
// does not open) for the caller to close after the start. A refusal is logged with the request.
bool StandInTrusts(const char* kind, const char* command, const char* file, HANDLE* held);

// Starts application with command (as token's user in the interactive desktop when token is
// given), the held file duplicated into the program, which keeps it unwritable for its life;
// *process is kept when asked for. False with GetLastError() set when it did not start.
bool StandInStart(const char* application, char* command, HANDLE token, HANDLE held, DWORD* pid,
                  HANDLE* process);
