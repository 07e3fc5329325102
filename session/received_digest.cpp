#include "session/received_digest.h"

#include <cstdio>

void DescribeReceivedFile(const char* path, const FileDigest& digest, char* out,
                          std::size_t outSize) {
    char hex[65];
    for (int i = 0; i < 32; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest.sha256[i]);
    std::snprintf(out, outSize, "Received %s %llu bytes SHA-256 %s", path, digest.size, hex);
}
