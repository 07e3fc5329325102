// The options of a run, parsed from the command line once at start-up and read-only after:
// whatever needs them is handed a const reference.
#pragma once

constexpr int kServerAddressCapacity = 100;
constexpr int kOptionCapacity = 512;

struct Options {
    int SetupMode = 1;              // 1: fetch and run the setup program
    int PushMode = 0;               // 1: upload mode ("-EFTPPUSH")
    int UserInteraction = 1;        // 0 with "-N": no boxes, messages go to Install.log
    int ConfirmInstall = 0;         // bare "C:\orvane\bin\Install.exe": ask before anything
    int FullSetup = 0;              // "EFULL" anywhere: SetupImaging.exe instead of Setup.exe
    int ShowTransferStatus = 0;     // "-T"
    int UseAdminService = 0;        // "-A"
    int RemoveAfterTransfer = 0;    // "-R"
    int RemoteCacheUnavailable = 0; // "-S"

    char OptionServerAddress[kServerAddressCapacity] = {}; // "-I"
    char OptionFileName[kOptionCapacity] = {};             // "-F"
    char OptionServerFolder[kOptionCapacity] = {};         // "-G"
    char OptionLocalFolder[kOptionCapacity] = {};          // "-D"
};

// "GRAPHICAL ORVANE Setup Utility" in setup mode, else "GRAPHICAL ORVANE File Transfer Utility".
const char* MainWindowTitle(const Options& options);
