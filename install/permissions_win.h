// The grant on an object the caller holds open (with READ_CONTROL and WRITE_DAC): the same
// merge of the "Everyone" entry as AddAceToFileSecurity, written through the handle.
#pragma once
#include <windows.h>

int AddAceToObjectSecurity(HANDLE object, const char* account, unsigned long mask);
