// Decompression of received messages, beside zlib's own one-call uncompress() in the same
// iterations: into a block kept between calls, and into a fresh block of the right size each
// time. The data are program bytes (this build's own executables), compressed as a server
// compresses a message, at the sizes messages have: a 64 KiB piece, a 1 MiB piece and the
// largest piece the utility takes (3,000,000 bytes).
//
// Each iteration runs the three in turn (the order alternates) and times each on this thread's
// CPU clock, which counts its page faults but not the time other processes held the core.
// Counters: per_MiB, zlib_kept_per_MiB and zlib_fresh_per_MiB (seconds per MiB of output),
// vs_zlib_kept and vs_zlib_fresh (zlib's time / ours: 1 is as fast, above 1 faster).
#include <benchmark/benchmark.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "transport/framing.h"

namespace {

namespace fs = std::filesystem;

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The first `size` bytes of this build's executables one after the other (the Windows tree's
// programs, then this program), repeated when they are fewer.
std::vector<unsigned char> ProgramBytes(std::size_t size) {
    const fs::path self = fs::canonical("/proc/self/exe");
    std::vector<fs::path> files;
    std::error_code error;
    const fs::path windows = self.parent_path().parent_path().parent_path() / "win" / "bin";
    for (const auto& entry : fs::directory_iterator(windows, error))
        if (entry.path().extension() == ".exe")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    files.push_back(self);
    std::vector<unsigned char> all;
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        all.insert(all.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<unsigned char> bytes;
    while (bytes.size() < size)
        bytes.insert(bytes.end(), all.begin(),
                     all.begin() + static_cast<long>(std::min(all.size(), size - bytes.size())));
    return bytes;
}

void BM_Uncompress(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const std::vector<unsigned char> program = ProgramBytes(size);
    std::vector<unsigned char> z(compressBound(size));
    uLongf zSize = z.size();
    if (compress(z.data(), &zSize, program.data(), size) != Z_OK) {
        state.SkipWithError("compression failed");
        return;
    }
    // The receive path: the message's block and the kept block it is inflated into; after each
    // call the two trade back, so that the next call starts from the compressed bytes again.
    MessageBuffer message{static_cast<std::int32_t>(zSize + 1), 0,
                          static_cast<unsigned char*>(std::malloc(zSize + 1))};
    MessageBuffer kept{0, 0, nullptr};
    std::memcpy(message.data, z.data(), zSize);
    std::vector<unsigned char> keptOut(size);
    double ours = 0, zlibKept = 0, zlibFresh = 0;
    bool odd = false;
    for (auto _ : state) {
        auto runOurs = [&] {
            const double start = CpuSeconds();
            message.length = static_cast<std::int32_t>(zSize);
            const bool ok = UncompressIntoBlock(&message, &kept, 3000000);
            ours += CpuSeconds() - start;
            if (!ok || static_cast<std::size_t>(message.length) != size ||
                std::memcmp(message.data, program.data(), 64) != 0)
                state.SkipWithError("decompression failed");
            std::swap(message, kept);
        };
        auto runZlibKept = [&] {
            const double start = CpuSeconds();
            uLongf outSize = size;
            uncompress(keptOut.data(), &outSize, z.data(), zSize);
            benchmark::DoNotOptimize(keptOut.data());
            zlibKept += CpuSeconds() - start;
        };
        auto runZlibFresh = [&] {
            const double start = CpuSeconds();
            unsigned char* out = static_cast<unsigned char*>(std::malloc(size));
            uLongf outSize = size;
            uncompress(out, &outSize, z.data(), zSize);
            benchmark::DoNotOptimize(out);
            std::free(out);
            zlibFresh += CpuSeconds() - start;
        };
        if ((odd = !odd)) {
            runOurs();
            runZlibKept();
            runZlibFresh();
        } else {
            runZlibFresh();
            runZlibKept();
            runOurs();
        }
    }
    FreeMessageBuffer(&message);
    FreeMessageBuffer(&kept);
    const double mib = static_cast<double>(state.iterations()) * size / 1048576.0;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    state.counters["per_MiB"] = ours / mib;
    state.counters["zlib_kept_per_MiB"] = zlibKept / mib;
    state.counters["zlib_fresh_per_MiB"] = zlibFresh / mib;
    state.counters["vs_zlib_kept"] = ours > 0 ? zlibKept / ours : 0;
    state.counters["vs_zlib_fresh"] = ours > 0 ? zlibFresh / ours : 0;
    state.SetLabel("program bytes, compressed " +
                   std::to_string(static_cast<double>(size) / zSize).substr(0, 4) + ":1");
}

BENCHMARK(BM_Uncompress)->Arg(64 << 10)->Arg(1 << 20)->Arg(3000000)->Unit(benchmark::kMillisecond);

} // namespace
