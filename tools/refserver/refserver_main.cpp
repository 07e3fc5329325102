// refserver: a reference file-transfer server for trying the utility and for demos.
//
//   refserver --root DIR [--address A.B.C.D] [--port N] [--destination TEXT]
//             [--piece-size BYTES] [--compress] [--protect none|blowfish|aes|aes-check]
//             [--reuse-frames] [--keep] [--timeout SECONDS] [--max-upload BYTES] [--max-connections
//             N]
//             [--log FILE]
//
// Serves DIR laid out like the server: "-EFTPMODE -F/usr/orvane/bin/Setup.exe" sends
// DIR/usr/orvane/bin/Setup.exe, "-EFTPMODE" offers the files of DIR/usr/orvane/klvtransfer,
// "-EFTPPUSHMODE" stores an upload in DIR/usr/orvane/incoming. One line per request on
// standard output.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <unistd.h>

#include "tools/refserver/server.h"
#include "transport/framing.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: refserver --root DIR [--address A.B.C.D] [--port N]\n"
                 "                 [--destination TEXT] [--piece-size BYTES] [--compress]\n"
                 "                 [--protect none|blowfish|aes|aes-check]\n"
                 "                 [--reuse-frames] [--keep]\n"
                 "                 [--timeout SECONDS] [--max-upload BYTES]\n"
                 "                 [--max-connections N] [--log FILE]\n"
                 "  --root         folder laid out like the server (required):\n"
                 "                 DIR/usr/orvane/bin/Setup.exe is the setup program,\n"
                 "                 DIR/usr/orvane/klvtransfer holds the files offered,\n"
                 "                 DIR/usr/orvane/incoming receives uploads\n"
                 "  --address      address to listen on (default 127.0.0.1)\n"
                 "  --port         port to listen on (default 11001; 0 picks a free one,\n"
                 "                 shown in the first log line)\n"
                 "  --destination  FILE_DESTINATION text (default C:\\klv\\transfer\\)\n"
                 "  --piece-size   bytes per FILE_DATA piece (default 65536)\n"
                 "  --compress     let the transport compress messages over 100 bytes\n"
                 "  --protect      protection of the server's messages (default none)\n"
                 "  --reuse-frames send a piece served before from the frame built then\n"
                 "                 (benchmarks: its compression is not repeated)\n"
                 "  --keep         never remove a served file, even when asked with -X\n"
                 "                 (-X only ever removes files of the klvtransfer folder)\n"
                 "  --timeout      seconds to wait for a client's next message (default 300;\n"
                 "                 the request itself must arrive within 30)\n"
                 "  --max-upload   largest upload in bytes (default 4294967296)\n"
                 "  --max-connections\n"
                 "                 clients served at once; more are closed at once\n"
                 "                 (default 256)\n"
                 "  --log          also append the log lines to FILE\n");
}

bool ParseNumber(const char* text, long long low, long long high, long long* value) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (!*text || *end || errno == ERANGE || v < low || v > high)
        return false;
    *value = v;
    return true;
}

volatile std::sig_atomic_t stopRequested = 0;
void OnSignal(int) {
    stopRequested = 1;
}

} // namespace

int main(int argc, char** argv) {
    refsrv::ServerConfig config;
    refsrv::PieceFrames pieceFrames;
    std::string address = "127.0.0.1";
    long long port = 11001;
    bool compress = false;
    int protection = 0;
    std::string logFile;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long long number = 0;
        if (arg == "--compress") {
            compress = true;
        } else if (arg == "--reuse-frames") {
            config.serve.pieceFrames = &pieceFrames;
        } else if (arg == "--keep") {
            config.honourRemove = false;
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else if (!value) {
            Usage();
            return 2;
        } else if (arg == "--root") {
            config.root = value;
            ++i;
        } else if (arg == "--address") {
            address = value;
            ++i;
        } else if (arg == "--port" && ParseNumber(value, 0, 65535, &port)) {
            ++i;
        } else if (arg == "--destination") {
            config.serve.destination = value;
            ++i;
        } else if (arg == "--piece-size" && ParseNumber(value, 1, 64 * 1024 * 1024, &number)) {
            config.serve.pieceSize = static_cast<std::size_t>(number);
            ++i;
        } else if (arg == "--timeout" && ParseNumber(value, 1, 86400, &number)) {
            config.idleTimeoutMs = static_cast<int>(number * 1000);
            ++i;
        } else if (arg == "--max-upload" && ParseNumber(value, 1, 1ll << 50, &number)) {
            config.maxUploadBytes = static_cast<std::uint64_t>(number);
            ++i;
        } else if (arg == "--max-connections" && ParseNumber(value, 1, 100000, &number)) {
            config.maxConnections = static_cast<std::size_t>(number);
            ++i;
        } else if (arg == "--log") {
            logFile = value;
            ++i;
        } else if (arg == "--protect") {
            std::string p = value;
            protection = p == "none"        ? 0
                         : p == "blowfish"  ? SEND_BLOWFISH
                         : p == "aes"       ? SEND_AES
                         : p == "aes-check" ? SEND_AES_CHECK
                                            : -1;
            if (protection < 0) {
                Usage();
                return 2;
            }
            ++i;
        } else {
            Usage();
            return 2;
        }
    }
    config.serve.sendOptions = (compress ? 0 : SEND_NOCOMPRESS) | protection;
    std::error_code ec;
    if (config.root.empty()) {
        std::fprintf(stderr, "refserver: --root DIR is required\n");
        Usage();
        return 2;
    }
    if (!std::filesystem::is_directory(config.root, ec)) {
        std::fprintf(stderr, "refserver: --root %s is not a folder\n", config.root.c_str());
        return 2;
    }

    std::mutex logMutex;
    config.log = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(logMutex);
        std::string stamped = refsrv::LogTimestamp() + line;
        std::printf("%s\n", stamped.c_str());
        std::fflush(stdout);
        if (!logFile.empty()) {
            std::ofstream out(logFile, std::ios::app);
            out << stamped << '\n';
        }
    };

    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    refsrv::RefServer server(config);
    if (!server.Start(address, static_cast<std::uint16_t>(port))) {
        std::fprintf(stderr, "refserver: cannot listen on %s:%lld: %s\n", address.c_str(), port,
                     std::strerror(errno));
        return 1;
    }
    config.log("listening on " + address + ":" + std::to_string(server.Port()) + ", root " +
               std::filesystem::absolute(config.root).string());
    while (!stopRequested)
        ::pause();
    server.Stop();
    config.log("stopped after " + std::to_string(server.RequestsServed()) + " request(s)");
    return 0;
}
