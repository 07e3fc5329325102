// Whether a file held for its start is still the file that was received: its bytes, read
// again through the held handle, against the size and SHA-256 taken from the pieces as they
// arrived; and whether it starts like a program or an installer package.
#pragma once
#include <cstddef>
#include <functional>

#include "base/file_digest.h"

// Reads the next bytes into `into` (at most capacity): the count, 0 at the end, -1 on failure.
using BlockReader = std::function<long long(unsigned char* into, std::size_t capacity)>;

enum class HeldVerdict { Same, Changed, Unreadable };

HeldVerdict CompareWithReceived(const BlockReader& read, const FileDigest& received);

// "MZ" for a program, the compound-file signature D0 CF 11 E0 A1 B1 1A E1 for a package.
bool StartsWithSignature(const unsigned char* head, std::size_t length, bool installerPackage);
