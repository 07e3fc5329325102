// The version digits of a received setup program, passed on to it as arguments.
#pragma once
#include <cstddef>

constexpr std::size_t kRunCommandCapacity = 100;
constexpr std::size_t kVersionArgumentsCapacity = 20;

// Version arguments for a received program's command (empty when there is no version):
// " -EFULL -V\"45\"" for SetupImaging45.exe, " -EREG -V\"123\"" for Setup123.exe. Returns true
// when a version was found.
bool BuildVersionArguments(const char* command, char* out, std::size_t outSize);
