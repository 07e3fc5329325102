// Starting the received setup programs, programs and installer packages.
#pragma once
#include <windows.h>

int RunHalvekUtilityFromInstall(const char* command, const char* arguments);
int RunHalvekUtility();
void RunSetup(HWND owner);
void RunReceivedExe(char* path, HWND owner);
void RunReceivedMsi(char* path, HWND owner);
