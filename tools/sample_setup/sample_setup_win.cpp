// A small stand-in for a received setup program. It writes its exact command line to
// C:\orvane\bin\SampleSetupRan.txt (replacing an earlier mark) and exits with 0, so that the
// demo and the end-to-end tests can see that the setup program was started and with what.
#include <windows.h>

#include <cstdio>

#include "base/product_paths.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    CreateDirectoryA(kProductFolder, nullptr);
    CreateDirectoryA(kProgramFolder, nullptr);
    std::FILE* mark = std::fopen("C:\\orvane\\bin\\SampleSetupRan.txt", "wb");
    if (mark == nullptr)
        return 1;
    std::fprintf(mark, "%s\r\n", GetCommandLineA());
    std::fclose(mark);
    return 0;
}
