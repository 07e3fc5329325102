// The arguments a fetched setup program is started with.
#pragma once

// "-EFULL -A" / "-EREG -A" with -A, "-N" (and " -T") without a user, otherwise empty.
const char* SetupArguments(bool useAdminService, bool fullSetup, bool userInteraction,
                           bool showTransferStatus);
