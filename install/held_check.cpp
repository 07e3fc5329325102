#include "install/held_check.h"

#include <cstring>
#include <vector>

#include "crypto/sha256.h"

HeldVerdict CompareWithReceived(const BlockReader& read, const FileDigest& received) {
    Sha256Context context;
    Sha256Init(&context);
    std::vector<unsigned char> block(1u << 16);
    unsigned long long size = 0;
    for (;;) {
        const long long n = read(block.data(), block.size());
        if (n < 0)
            return HeldVerdict::Unreadable;
        if (n == 0)
            break;
        size += static_cast<unsigned long long>(n);
        if (size > received.size)
            return HeldVerdict::Changed; // grown: no need to read the rest
        Sha256Update(&context, block.data(), static_cast<std::size_t>(n));
    }
    unsigned char digest[32];
    Sha256Final(&context, digest);
    return size == received.size && std::memcmp(digest, received.sha256, sizeof digest) == 0
               ? HeldVerdict::Same
               : HeldVerdict::Changed;
}

bool StartsWithSignature(const unsigned char* head, std::size_t length, bool installerPackage) {
    static const unsigned char kProgram[] = {'M', 'Z'};
    static const unsigned char kPackage[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    const unsigned char* expected = installerPackage ? kPackage : kProgram;
    const std::size_t needed = installerPackage ? sizeof kPackage : sizeof kProgram;
    return length >= needed && std::memcmp(head, expected, needed) == 0;
}
