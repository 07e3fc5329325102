// What identifies a received file: its size and SHA-256, computed from the pieces as they
// arrived (not read back from the file, which every local user may change).
#pragma once

struct FileDigest {
    unsigned long long size = 0;
    unsigned char sha256[32] = {};
};
