#include "install/start_way.h"

#include <cstring>

StartWay ChooseAdminWay(const OsVersionFields& os) {
    return IsWindows2000(os) ? StartWay::AdminAsAdmin : StartWay::AdminAsAdminUser;
}

StartWay ChooseStartWay(const Options& options, const OsVersionFields& os, const char* command,
                        const char* arguments) {
    if (options.UseAdminService) {
        if (std::strstr(command, "Halvek") != nullptr ||
            std::strstr(arguments, "Halvek") != nullptr)
            return StartWay::HalvekUtility;
        return ChooseAdminWay(os);
    }
    if (!options.UserInteraction)
        return StartWay::AdminAsAdmin;
    return StartWay::Local;
}

LocalCreation ChooseLocalCreation(const OsVersionFields& os) {
    return IsOsMajorVersion6(os) ? LocalCreation::AsUserWithPrimaryToken : LocalCreation::Plain;
}
