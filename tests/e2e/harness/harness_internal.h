// What the harness files share among themselves.
#pragma once
#include <sys/types.h>

#include "tests/e2e/harness/harness.h"
#include "tests/fixtures/host_process/host_process_posix.h"

namespace e2e {

[[noreturn]] void Fatal(const std::string& text);
const std::string kPrefixDir = kBuildRoot + "/wine";
const std::string kIoDir = kBuildRoot + "/e2e-io"; // robot output, launcher files, tool logs
std::string NextIoName(const char* kind);          // a fresh file name in kIoDir
pid_t Spawn(const std::vector<std::string>& argv, const std::string& logPath);
std::optional<int> RunHost(const std::vector<std::string>& argv, int timeoutMs);

} // namespace e2e
