// The one way a program is started on behalf of someone else (the installer's local starts and
// the stand-in AdminService's): created suspended, with the image-load mitigation that makes the
// loader prefer the system folder over the program's own, the held file's handle duplicated into
// it (so that the file stays unwritable for the program's life), then resumed.
#pragma once
#include <windows.h>

struct ProcessStart {
    const char* application = nullptr; // the program file, named to the system
    char* commandLine = nullptr;       // changed in place by the system
    HANDLE token = nullptr;            // start as this user (CreateProcessAsUserA), or null
    DWORD flags = 0;                   // creation flags (CREATE_SUSPENDED is added)
    BOOL inheritHandles = FALSE;
    const char* desktop = nullptr;
    DWORD show = ~0u;                   // SW_* with STARTF_USESHOWWINDOW, or ~0u for none
    HANDLE held = INVALID_HANDLE_VALUE; // duplicated into the program before it runs
};

struct StartedProcess {
    bool started = false;
    DWORD pid = 0;
    HANDLE process = nullptr; // kept only when asked for (keepProcess), else closed
    DWORD error = 0;          // GetLastError() of a failed start
};

// log receives, once per process, the line saying that the system refused the mitigation
// attribute (the start is then made without it). A start whose held handle cannot be duplicated
// into the program is ended before it runs and fails.
StartedProcess StartHoldingFile(const ProcessStart& start, bool keepProcess,
                                void (*log)(const char* line));
