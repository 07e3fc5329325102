// Portable decisions for starting received programs: the extension test, the version digits
// of a received setup program, the setup arguments and which way a program is started.
#pragma once
#include <cstddef>

#include "base/options.h"
#include "base/os_version.h"

constexpr std::size_t kRunCommandCapacity = 100;
constexpr std::size_t kVersionArgumentsCapacity = 20;

// Cuts path in place at its "." runs the way strtok does and tells whether the second token is
// exactly ext (case-sensitive): "C:\a\Setup.exe" with "exe" is true; "C:\my.dir\S.exe" is not.
bool SecondTokenIs(char* path, const char* ext);

// Version arguments for a received program's command (empty when there is no version):
// " -EFULL -V\"45\"" for SetupImaging45.exe, " -EREG -V\"123\"" for Setup123.exe. Returns true
// when a version was found.
bool BuildVersionArguments(const char* command, char* out, std::size_t outSize);

// Arguments passed to the fetched setup program: "-EFULL -A" / "-EREG -A" with -A, "-N" (and
// " -T") without a user, otherwise empty.
const char* SetupArguments(bool useAdminService, bool fullSetup, bool userInteraction,
                           bool showTransferStatus);

enum class StartWay {
    HalvekUtility,    // RunHalvekUtility
    AdminAsAdmin,     // AdminServiceCreateProcessAsAdmin (kind 1)
    AdminAsAdminUser, // AdminServiceCreateProcessAsAdminUser (kind 16)
    Local,            // created by this process
};

// The way RunHalvekUtilityFromInstall takes, from the options and the OS predicates.
StartWay ChooseStartWay(const Options& options, const OsVersionFields& os, const char* command,
                        const char* arguments);
// The AdminService call for a request that must go through it (Halvek, received versions,
// msiexec with -A): kind 1 on Windows 2000, else kind 16.
StartWay ChooseAdminWay(const OsVersionFields& os);

enum class LocalCreation {
    AsUserWithPrimaryToken, // CreateProcessAsUserA with a duplicated primary token
    Plain,                  // CreateProcessA
};
LocalCreation ChooseLocalCreation(const OsVersionFields& os);
