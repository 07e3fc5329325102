// Libraries from the system folder only. The programs run elevated from a folder every local
// user may write to, so no library is ever looked for beside the program: each program restricts
// the search first thing, and every library that is not one of the system's known libraries is
// loaded at run time by its full path in the system folder.
#pragma once
#include <windows.h>

// Limits every later library search to the system folder where the system can (Windows 8, and
// Windows 7 with its loader update); true when it did.
bool RestrictLibrarySearch();

// The library name (e.g. "winmm.dll") loaded from the system folder by its full path, its own
// imports looked for there as well; null when it cannot be loaded.
HMODULE LoadSystemLibrary(const char* name);

// The function name of the system library, loaded once; null when either is missing.
FARPROC SystemFunction(const char* library, const char* function);

// The common controls: loaded by name, which the program's manifest resolves to the system's
// side-by-side version 6 (not a file beside the program), after the search has been restricted,
// so that neither they nor the libraries they import are looked for in the program's folder.
// Registers their window classes; false when they cannot be loaded.
bool LoadCommonControls();
