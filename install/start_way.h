// Which way a received program is started: through the AdminService (and which of its calls),
// by the Halvek utility, or by this process (and with which kind of creation).
#pragma once

#include "base/options.h"
#include "base/os_version.h"

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
