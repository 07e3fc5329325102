// marker.exe <path> [words...]: writes its own command line, as the process received it, to
// <path> (replacing the file) so that tests can see that, and how, it was started. A copy
// planted under another name (a program a local user places where a start might find it)
// appends its command line to C:\orvane\bin\PlantedProgramRan.txt instead.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const char* name = std::strrchr(self, '\\');
    if (name != nullptr && lstrcmpiA(name + 1, "marker.exe") != 0) {
        std::FILE* planted = std::fopen("C:\\orvane\\bin\\PlantedProgramRan.txt", "ab");
        if (!planted)
            return 1;
        std::fprintf(planted, "%s\r\n", GetCommandLineA());
        std::fclose(planted);
        return 0;
    }
    if (argc < 2)
        return 2;
    std::FILE* file = std::fopen(argv[1], "wb");
    if (!file)
        return 1;
    std::fputs(GetCommandLineA(), file);
    std::fclose(file);
    return 0;
}
