// The Install.log line that identifies a received file, so that an administrator can compare
// it with the server's copy.
#pragma once
#include <cstddef>

#include "base/file_digest.h"

// "Received <path> <size> bytes SHA-256 <64 lower-case hex digits>" into out.
void DescribeReceivedFile(const char* path, const FileDigest& digest, char* out,
                          std::size_t outSize);
