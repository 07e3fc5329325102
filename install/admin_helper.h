// The elevated helper ("-ADMIN"): takes over a handed-over connection and grants permissions.
#pragma once
#include <windows.h>

int RunInstallAdminProcess(HINSTANCE instance);
