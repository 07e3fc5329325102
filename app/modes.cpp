#include "app/modes.h"

#include <cstring>

int SetupMode = 1;
int PushMode = 0;
int UserInteraction = 1;
int ConfirmInstall = 0;
int FullSetup = 0;
int ShowTransferStatus = 0;
int UseAdminService = 0;
int RemoveAfterTransfer = 0;
int RemoteCacheUnavailable = 0;

char OptionServerAddress[kServerAddressCapacity];
char OptionFileName[kOptionCapacity];
char OptionServerFolder[kOptionCapacity];
char OptionLocalFolder[kOptionCapacity];

void ResetModeFlags() {
    SetupMode = 1;
    PushMode = 0;
    UserInteraction = 1;
    ConfirmInstall = 0;
    FullSetup = 0;
    ShowTransferStatus = 0;
    UseAdminService = 0;
    RemoveAfterTransfer = 0;
    RemoteCacheUnavailable = 0;
    std::memset(OptionServerAddress, 0, sizeof OptionServerAddress);
    std::memset(OptionFileName, 0, sizeof OptionFileName);
    std::memset(OptionServerFolder, 0, sizeof OptionServerFolder);
    std::memset(OptionLocalFolder, 0, sizeof OptionLocalFolder);
}

const char* MainWindowTitle() {
    return SetupMode ? "GRAPHICAL ORVANE Setup Utility" : "GRAPHICAL ORVANE File Transfer Utility";
}
