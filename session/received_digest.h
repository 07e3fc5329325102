// The Install.log line that identifies a received file, so that an administrator can compare
// it with the server's copy.
#pragma once
#include <cstddef>

// "Received <path> <size> bytes SHA-256 <64 lower-case hex digits>" into out; false (out
// empty) when the file cannot be read.
bool DescribeReceivedFile(const char* path, char* out, std::size_t outSize);
