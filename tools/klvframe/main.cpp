// klvframe encode --options N | decode | dump
//   encode: payload on standard input, the frame SendMessageWithSize would send on standard output
//   decode: frames on standard input, their payloads one after the other on standard output
//   dump:   one line per frame on standard output
// Exit status 0 when every frame was taken in whole, 1 when one failed, 2 for a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "transport/frame_commands.h"

namespace {

std::string ReadAll(std::FILE* in) {
    std::string data;
    char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
        data.append(chunk, n);
    return data;
}

int Usage() {
    std::fprintf(stderr, "usage: klvframe encode --options N | decode | dump\n");
    return 2;
}

bool ParseOptions(const char* text, int* options) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 0); // decimal, or 0x... hexadecimal
    if (!end || *end || end == text || value < 0 || value > 0x7FFFFFFF)
        return false;
    *options = static_cast<int>(value);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    const std::string command = argv[1];
    std::string out;
    int status = 0;
    if (command == "encode") {
        int options = 0;
        for (int i = 2; i < argc; ++i) {
            if (std::strcmp(argv[i], "--options") == 0 && i + 1 < argc) {
                if (!ParseOptions(argv[++i], &options))
                    return Usage();
            } else {
                return Usage();
            }
        }
        if (!EncodeFrameCommand(ReadAll(stdin), options, &out)) {
            std::fprintf(stderr, "klvframe: the frame cannot be built\n");
            return 1;
        }
    } else if (command == "decode" && argc == 2) {
        status = DecodeFrameCommand(ReadAll(stdin), &out);
    } else if (command == "dump" && argc == 2) {
        status = DumpFrameCommand(ReadAll(stdin), &out);
    } else {
        return Usage();
    }
    if (!out.empty() && std::fwrite(out.data(), 1, out.size(), stdout) != out.size())
        return 1;
    std::fflush(stdout);
    return status;
}
