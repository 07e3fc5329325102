// The caller's session number for kind-16 requests.
#pragma once
#include <cstdint>

// 0 on Windows 2000; elsewhere the session of the current process.
std::uint32_t CallerSessionNumber();
