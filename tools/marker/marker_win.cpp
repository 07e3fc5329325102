// marker.exe <path> [words...]: writes its own command line, as the process received it, to
// <path> (replacing the file) so that tests can see that, and how, it was started.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    std::FILE* file = std::fopen(argv[1], "wb");
    if (!file)
        return 1;
    std::fputs(GetCommandLineA(), file);
    std::fclose(file);
    return 0;
}
