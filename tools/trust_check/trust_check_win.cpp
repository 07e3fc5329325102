// trust_check.exe <out file> <path> <runs> <thumbprint>...: checks the program at path the way
// the installer does before a start, with a policy naming the given thumbprints, <runs> times
// under one held handle. Writes the verdict line, then "median <ms>" (files, not pipes: Wine's
// console may be inherited).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "install/program_trust_win.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::printf("usage: trust_check <out file> <path> <runs> <thumbprint>...\n");
        return 2;
    }
    std::string entries;
    for (int i = 4; i < argc; ++i)
        entries += std::string(argv[i]) + '\0';
    TrustPolicy policy = ParseTrustedSigners(entries.c_str(), entries.size());
    const int runs = std::max(1, std::atoi(argv[3]));
    HANDLE file = OpenHeldForCheck(argv[2]);
    std::vector<double> ms;
    ProgramTrustCheck check;
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    for (int run = 0; run < runs; ++run) {
        QueryPerformanceCounter(&begin);
        check = VerifyProgramTrust(argv[2], file, policy);
        QueryPerformanceCounter(&end);
        ms.push_back(1000.0 * static_cast<double>(end.QuadPart - begin.QuadPart) /
                     static_cast<double>(frequency.QuadPart));
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    std::sort(ms.begin(), ms.end());
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out)
        return 2;
    std::fprintf(out, "%s\n%s\nmedian %.1f\n", check.detail.c_str(), check.line.c_str(),
                 ms[ms.size() / 2]);
    std::fclose(out);
    return check.accepted ? 0 : 1;
}
