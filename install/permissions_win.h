// The grant of permissions.h on a file the caller holds open (with READ_CONTROL and WRITE_DAC):
// the entry goes to the object behind the handle, whatever its path has become since.
#pragma once
#include <windows.h>

int AddAceToOpenFile(HANDLE object, const char* account, unsigned long mask);
