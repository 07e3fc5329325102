// planted_library.dll: a library a local user might place beside a program under the name of a
// library it uses. Loaded anywhere, it appends that process's command line to
// C:\orvane\bin\PlantedLibraryRan.txt; it exports what the programs take from the libraries it
// stands in for, so that a program importing one of them starts with it.
#include <windows.h>

#include <cstdio>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        if (std::FILE* file = std::fopen("C:\\orvane\\bin\\PlantedLibraryRan.txt", "ab")) {
            std::fprintf(file, "%s\r\n", GetCommandLineA());
            std::fclose(file);
        }
    }
    return TRUE;
}

extern "C" {
__declspec(dllexport) UINT WINAPI timeBeginPeriod(UINT) {
    return 0;
}
__declspec(dllexport) UINT WINAPI timeEndPeriod(UINT) {
    return 0;
}
__declspec(dllexport) DWORD WINAPI GetExtendedTcpTable(PVOID, PDWORD, BOOL, ULONG, int, ULONG) {
    return ERROR_NOT_SUPPORTED;
}
__declspec(dllexport) BOOL WINAPI WTSQueryUserToken(ULONG, PHANDLE) {
    SetLastError(ERROR_NO_TOKEN);
    return FALSE;
}
}
