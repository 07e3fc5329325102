#include "install/setup_arguments.h"

const char* SetupArguments(bool useAdminService, bool fullSetup, bool userInteraction,
                           bool showTransferStatus) {
    if (useAdminService)
        return fullSetup ? "-EFULL -A" : "-EREG -A";
    if (!userInteraction)
        return showTransferStatus ? "-N -T" : "-N";
    return "";
}
