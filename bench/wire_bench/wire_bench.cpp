// wire_bench: transfer rates of Install.exe under Wine, each beside the minimal blocking client
// (wire_client.exe) measured in the same run against the same server.
//
//   xvfb-run -a build/native/bin/wire_bench [--repeat N] [--scale F] [--only download|upload]
//                                           [--compressed]
//
// For each piece size (4 KiB, 64 KiB, 1 MiB), plain and protected (AES and check value), the
// reference server (wire_refserver: the reference server built without sanitizers) serves a
// setup program to Install.exe -N and to wire_client.exe, turn about; then both upload a file
// in 1100-byte pieces. The server times each transfer from its first message to the last
// acknowledgement (download) or the last upload message (upload), so Wine's start-up is not
// counted. Rates are medians of N runs with their range; "ratio" is Install.exe / wire_client.exe
// of the medians, with the range of the ratios of the runs taken side by side. The peak
// memory (VmHWM) of the Install.exe process is read during one more (untimed) largest plain
// download and compared with a run that receives one byte.
//
// With --compressed the downloads carry program bytes (this build's executables) and the server
// compresses every piece, as a server does unless told otherwise; wire_client.exe then inflates
// with zlib into a block it keeps. The server builds each distinct piece's frame once, in an
// untimed transfer before the timed ones; with --prebuilt-frames it does so for every form, so
// that its own encryption and check value are outside the timed transfers as well.
//
// Runs in its own Wine prefix (<build>/wire_bench/wine, created on first use) and holds the
// end-to-end lock (/tmp/orvane-e2e.lock) throughout, since it uses the fixed ports. Every
// process it starts is ended by its id; the prefix's Wine server is stopped at the end.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/wire_bench/bench_peers.h"
#include "bench/wire_bench/figures.h"
#include "bench/wire_bench/wine_host.h"

namespace fs = std::filesystem;

namespace {

using wire_bench::AdminSink;
using wire_bench::Fatal;
using wire_bench::MBps;
using wire_bench::Median;
using wire_bench::Rates;
using wire_bench::Ratio;
using wire_bench::RunResult;
using wire_bench::Server;
using wire_bench::WineHost;

void WriteContent(const std::string& path, std::size_t size, unsigned salt) {
    fs::create_directories(fs::path(path).parent_path());
    std::vector<char> bytes(size);
    std::uint32_t x = 2463534242u ^ salt;
    for (char& b : bytes) { // incompressible, so that nothing on the way can shrink it
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<char>(x);
    }
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
}

// `size` bytes of program code: this build's Windows executables one after the other, cut or
// repeated to 8 MiB, then that block repeated (every piece size divides it, so a server that
// keeps built frames holds at most 8 MiB of distinct pieces).
void WriteProgramContent(const WineHost& host, const std::string& path, std::size_t size) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(host.Root() + "/win/bin"))
        if (entry.path().extension() == ".exe")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<char> all;
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        all.insert(all.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (all.empty())
        Fatal("no executables in " + host.Root() + "/win/bin");
    std::vector<char> block;
    while (block.size() < (8u << 20))
        block.insert(block.end(), all.begin(),
                     all.begin() +
                         static_cast<long>(std::min(all.size(), (8u << 20) - block.size())));
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    for (std::size_t done = 0; done < size;) {
        const std::size_t part = std::min(block.size(), size - done);
        out.write(block.data(), static_cast<std::streamsize>(part));
        done += part;
    }
}

const std::string kInstall = "C:\\orvane\\bin\\Install.exe";

std::string ClientPath(const WineHost& host) {
    return wire_bench::WindowsPathOfHost(host.Root() + "/win/bin/wire_client.exe");
}

// wire_client.exe's note of what holding the received file and reading it again cost beside
// the transfer that brought it (on stderr: the tables stay whole).
void NoteRehashCost(const std::string& note, std::size_t size) {
    unsigned long long transferMs = 0, rehashMs = 0;
    char verdict[16] = "";
    if (std::FILE* in = std::fopen(note.c_str(), "rb")) {
        if (std::fscanf(in, "%llu %llu %15s", &transferMs, &rehashMs, verdict) == 3 && transferMs)
            std::fprintf(stderr,
                         "hold, grant and checks, %zu MiB: %llu ms beside a %llu ms "
                         "transfer (%.1f %%, %s)\n",
                         size >> 20, rehashMs, transferMs,
                         100.0 * static_cast<double>(rehashMs) / static_cast<double>(transferMs),
                         verdict);
        std::fclose(in);
    }
    std::error_code error;
    fs::remove(note, error);
}

// One download of `size` bytes by Install.exe (setup mode, -N) or the client; ms or -1.
double Download(WineHost& host, Server& server, bool install, std::size_t size,
                long* peakKiB = nullptr) {
    std::error_code error;
    fs::remove(host.DriveC("klv/transfer/Setup.exe"), error);
    const RunResult run =
        install ? host.RunWindows(kInstall + " -N -I \"127.0.0.1\"", peakKiB ? "Install.exe" : "")
                : host.RunWindows(ClientPath(host) + " get C:\\klv\\transfer\\Setup.exe");
    if (!run.ok)
        server.Forget();
    const double ms = run.ok ? server.NextTransferMs("sent ") : -1;
    const std::string received = host.DriveC("klv/transfer/Setup.exe");
    if (ms >= 0 && fs::file_size(received, error) != size) {
        std::fprintf(stderr, "wire_bench: %s received %ju of %zu bytes\n",
                     install ? "Install.exe" : "wire_client.exe",
                     static_cast<std::uintmax_t>(fs::file_size(received, error)), size);
        return -1;
    }
    fs::remove(received, error);
    NoteRehashCost(received + ".rehash", size);
    if (peakKiB)
        *peakKiB = run.peakKiB;
    return ms;
}

double Upload(WineHost& host, Server& server, bool install, const std::string& serveRoot) {
    const RunResult run =
        install ? host.RunWindows(kInstall + " -EFTPPUSH -N -I \"127.0.0.1\" -F \"wire.bin\"")
                : host.RunWindows(ClientPath(host) + " put wire.bin");
    if (!run.ok)
        server.Forget();
    const double ms = run.ok ? server.NextTransferMs("stored ") : -1;
    // The server keeps what it received below its root; nothing of it is needed.
    std::error_code error;
    for (const char* folder : {"usr/orvane/klvtransfer", "usr/orvane/incoming"})
        fs::remove_all(serveRoot + "/" + folder, error);
    return ms;
}

struct Options {
    std::string install; // the Install.exe measured
    int repeat = 3;
    double scale = 1;
    bool download = true, upload = true;
    std::size_t piece = 0;                      // only this download piece size (bytes), 0: all
    bool compressed = false, bothForms = false; // bothForms: uncompressed, then compressed
    bool prebuilt = false; // every form's frames built once, before the timed runs
};

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--prebuilt-frames") {
            o.prebuilt = true;
        } else if (arg == "--compressed" || arg == "--all-forms") {
            o.compressed = arg == "--compressed";
            o.bothForms = arg == "--all-forms";
        } else if (arg == "--install" && value) {
            o.install = value;
            ++i;
        } else if (arg == "--repeat" && value && std::atoi(value) > 0) {
            o.repeat = std::atoi(value);
            ++i;
        } else if (arg == "--scale" && value && std::atof(value) > 0) {
            o.scale = std::atof(value);
            ++i;
        } else if (arg == "--piece" && value &&
                   (std::atoi(value) == 4 || std::atoi(value) == 64 || std::atoi(value) == 1024)) {
            o.piece = static_cast<std::size_t>(std::atoi(value)) * 1024;
            ++i;
        } else if (arg == "--only" && value &&
                   (std::strcmp(value, "download") == 0 || std::strcmp(value, "upload") == 0)) {
            o.download = std::strcmp(value, "download") == 0;
            o.upload = !o.download;
            ++i;
        } else {
            std::fprintf(stderr,
                         "usage: wire_bench [--repeat N] [--scale F] [--only download|upload]\n"
                         "                  [--piece 4|64|1024] [--install PATH] "
                         "[--compressed|--all-forms] [--prebuilt-frames]\n"
                         "  --repeat  runs of each program per figure, median shown (default 3)\n"
                         "  --scale   multiplies the transfer sizes (default 1: 4 MiB, 64 MiB\n"
                         "            and 256 MiB downloads, 16 MiB upload)\n"
                         "  --only    only the downloads or only the upload\n"
                         "  --piece   only the downloads with this piece size (KiB)\n"
                         "  --install the Install.exe to measure (default: this build's)\n"
                         "  --compressed  downloads of program bytes in compressed pieces\n"
                         "  --all-forms   each download uncompressed, then --compressed\n"
                         "  --prebuilt-frames  the server sends every form from frames built\n"
                         "            in an untimed first transfer (compressed ones always)\n"
                         "Run it under xvfb-run -a; it holds %s while it runs.\n",
                         "/tmp/orvane-e2e.lock");
            std::exit(arg == "--help" || arg == "-h" ? 0 : 2);
        }
    }
    return o;
}

} // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    WineHost host(
        fs::canonical("/proc/self/exe").parent_path().parent_path().parent_path().string());
    const std::string& root = host.Root();
    for (const char* needed : {"/win/bin/Install.exe", "/win/bin/wire_client.exe",
                               "/win/bin/robot.exe", "/native/bin/wire_refserver"})
        if (!fs::exists(root + needed))
            Fatal(root + needed + " is missing: build both trees first");
    if (options.install.empty())
        options.install = root + "/win/bin/Install.exe";
    wire_bench::TakeLock();
    host.Prepare(options.install);
    signal(SIGPIPE, SIG_IGN);
    AdminSink adminService;
    const std::string serveRoot = host.Work() + "/root";
    std::error_code error;
    fs::remove_all(serveRoot, error);
    auto scaled = [&](std::size_t bytes) {
        return std::max<std::size_t>(1, static_cast<std::size_t>(bytes * options.scale));
    };
    // The setup program served: incompressible bytes, or program bytes with --compressed.
    bool compressed = options.compressed;
    auto writeSetup = [&](std::size_t size) {
        const std::string path = serveRoot + "/usr/orvane/bin/Setup.exe";
        if (compressed)
            WriteProgramContent(host, path, size);
        else
            WriteContent(path, size, 7);
    };
    std::printf(
        "wire_bench: MB/s, median (lowest-highest) of %d runs; Install.exe under Wine beside "
        "wire_client.exe\n",
        options.repeat);
    {
        // The first programs of a fresh Wine server start its services and fill the caches:
        // one untimed download by each before anything is measured.
        WriteContent(serveRoot + "/usr/orvane/bin/Setup.exe", 1 << 20, 3);
        Server server(host, serveRoot, 65536, "none", false, false);
        Download(host, server, true, 1 << 20);
        Download(host, server, false, 1 << 20);
    }
    long peakGrowthKiB = -1;
    if (options.download) {
        std::printf("| download%s, piece size | protection | size | Install.exe | wire_client.exe "
                    "| ratio |\n|---|---|---|---|---|---|\n",
                    options.compressed ? " (compressed pieces of program bytes)" : "");
        const struct {
            std::size_t piece, size;
        } sizes[] = {
            {4096, scaled(4 << 20)}, {65536, scaled(64 << 20)}, {1 << 20, scaled(256 << 20)}};
        // Per piece size, the protected rate over the plain one, of the medians.
        struct ProtectedShare {
            std::size_t piece;
            double install, client;
        };
        std::vector<ProtectedShare> protectedShares;
        double plainRate = 0, clientPlainRate = 0; // of the same piece size, uncompressed
        for (const auto& s : sizes) {
            if (options.piece != 0 && s.piece != options.piece)
                continue;
            for (const bool form : {false, true}) {
                if (options.bothForms ? false : form != options.compressed)
                    continue;
                compressed = options.bothForms ? form : options.compressed;
                writeSetup(s.size);
                for (const char* protect : {"none", "aes-check"}) {
                    const bool reuse = compressed || options.prebuilt;
                    Server server(host, serveRoot, s.piece, protect, compressed, reuse);
                    // Reused frames are built in an untimed transfer, not in the first timed one.
                    if (reuse)
                        Download(host, server, false, s.size);
                    std::vector<double> install, client;
                    for (int i = 0; i < options.repeat; ++i) {
                        // Turn about, so that neither program always runs first on a busy machine.
                        for (const bool ofInstall : {i % 2 == 0, i % 2 != 0}) {
                            const double ms = Download(host, server, ofInstall, s.size);
                            if (ms > 0)
                                (ofInstall ? install : client).push_back(MBps(s.size, ms));
                        }
                    }
                    std::printf("| %zu KiB | %s%s | %g MiB | %s | %s | %s |\n", s.piece / 1024,
                                std::strcmp(protect, "none") == 0 ? "plain" : "AES + check",
                                compressed ? ", compressed" : "", s.size / 1048576.0,
                                Rates(install).c_str(), Rates(client).c_str(),
                                Ratio(install, client).c_str());
                    std::fflush(stdout);
                    if (!compressed && std::strcmp(protect, "none") == 0) {
                        plainRate = Median(install);
                        clientPlainRate = Median(client);
                    } else if (!compressed && plainRate > 0 && clientPlainRate > 0) {
                        protectedShares.push_back({s.piece, Median(install) / plainRate,
                                                   Median(client) / clientPlainRate});
                    }
                    // Peak memory in runs of their own, so that following the process does not
                    // slow one side of the timed runs: the largest plain download, then the same
                    // program receiving a single byte (what it needs without the data).
                    long peak = 0;
                    if (s.piece == (1u << 20) && std::strcmp(protect, "none") == 0)
                        Download(host, server, true, s.size, &peak);
                    if (peak > 0) {
                        writeSetup(1);
                        long basePeak = 0;
                        Download(host, server, true, 1, &basePeak);
                        writeSetup(s.size);
                        if (basePeak > 0)
                            peakGrowthKiB = peak - basePeak;
                    }
                }
            }
        }
        for (const ProtectedShare& share : protectedShares)
            std::printf("\n%zu KiB pieces, AES + check value / plain: Install.exe %.2f, "
                        "wire_client.exe %.2f%s\n",
                        share.piece / 1024, share.install, share.client,
                        options.prebuilt ? " (frames prebuilt)" : "");
        if (peakGrowthKiB >= 0)
            std::printf("Peak memory (VmHWM) of Install.exe, %zu MiB download over a 1-byte one: "
                        "+%.1f MiB (write-behind buffer 2.9 MiB%s)\n",
                        scaled(256 << 20) >> 20, peakGrowthKiB / 1024.0,
                        options.compressed ? ", read and inflate blocks up to 2.9 MiB each" : "");
        fs::remove(serveRoot + "/usr/orvane/bin/Setup.exe", error);
    }
    if (options.upload) {
        const std::size_t size = scaled(16 << 20);
        WriteContent(host.DriveC("orvane/winsupport/wire.bin"), size, 11);
        Server server(host, serveRoot, 65536, "none", false, false);
        std::vector<double> install, client;
        for (int i = 0; i < options.repeat; ++i) {
            for (const bool ofInstall : {i % 2 == 0, i % 2 != 0}) {
                const double ms = Upload(host, server, ofInstall, serveRoot);
                if (ms > 0)
                    (ofInstall ? install : client).push_back(MBps(size, ms));
            }
        }
        std::printf(
            "\n| upload, 1100-byte pieces | size | Install.exe | wire_client.exe | ratio |\n"
            "|---|---|---|---|---|\n| plain | %zu MiB | %s | %s | %s |\n",
            size >> 20, Rates(install).c_str(), Rates(client).c_str(),
            Ratio(install, client).c_str());
        fs::remove(host.DriveC("orvane/winsupport/wire.bin"), error);
    }
    fs::remove_all(serveRoot, error);
    host.RunHost({"wineserver", "-k"}, 30000); // this run's prefix: everything in it is ours
    return 0;
}
