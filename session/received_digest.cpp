#include "session/received_digest.h"

#include <cstdio>
#include <vector>

#include "transport/sha256.h"

bool DescribeReceivedFile(const char* path, char* out, std::size_t outSize) {
    if (outSize == 0)
        return false;
    out[0] = '\0';
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return false;
    Sha256Context context;
    Sha256Init(&context);
    std::vector<unsigned char> block(65536);
    unsigned long long size = 0;
    std::size_t n;
    while ((n = std::fread(block.data(), 1, block.size(), file)) > 0) {
        Sha256Update(&context, block.data(), n);
        size += n;
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        return false;
    unsigned char digest[32];
    Sha256Final(&context, digest);
    char hex[65];
    for (int i = 0; i < 32; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    std::snprintf(out, outSize, "Received %s %llu bytes SHA-256 %s", path, size, hex);
    return true;
}
