#include "crypto/crypto_path.h"

#include <cpuid.h>

#include <atomic>

namespace {

struct CpuCrypto {
    bool aes = false;
    bool sha = false;
};

// Both paths also use SSSE3 byte shuffles and SSE4.1 instructions.
CpuCrypto Detect() {
    CpuCrypto found;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return found;
    const bool sse41 = (c & bit_SSSE3) && (c & bit_SSE4_1);
    found.aes = sse41 && (c & bit_AES);
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d))
        found.sha = sse41 && (b & bit_SHA);
    return found;
}

const CpuCrypto& Cpu() {
    static const CpuCrypto cpu = Detect();
    return cpu;
}

std::atomic<bool> g_useInstructions{true};

} // namespace

bool AesInstructionsInUse() {
    return g_useInstructions.load(std::memory_order_relaxed) && Cpu().aes;
}

bool ShaInstructionsInUse() {
    return g_useInstructions.load(std::memory_order_relaxed) && Cpu().sha;
}

void UseCryptoInstructions(bool use) {
    g_useInstructions.store(use, std::memory_order_relaxed);
}
