// The options of a run, parsed from the command line once at start-up and read-only after:
// whatever needs them is handed a const reference.
#pragma once

constexpr int kServerAddressCapacity = 100;
constexpr int kOptionCapacity = 512;

struct Options {
    bool SetupMode = true;               // fetch and run the setup program
    bool PushMode = false;               // upload mode ("-EFTPPUSH")
    bool UserInteraction = true;         // false with "-N": no boxes, messages go to Install.log
    bool ConfirmInstall = false;         // bare "C:\orvane\bin\Install.exe": ask before anything
    bool FullSetup = false;              // "EFULL" anywhere: SetupImaging.exe instead of Setup.exe
    bool ShowTransferStatus = false;     // "-T"
    bool UseAdminService = false;        // "-A"
    bool RemoveAfterTransfer = false;    // "-R"
    bool RemoteCacheUnavailable = false; // "-S"

    char OptionServerAddress[kServerAddressCapacity] = {}; // "-I"
    char OptionFileName[kOptionCapacity] = {};             // "-F"
    char OptionServerFolder[kOptionCapacity] = {};         // "-G"
    char OptionLocalFolder[kOptionCapacity] = {};          // "-D"
};

// "GRAPHICAL ORVANE Setup Utility" in setup mode, else "GRAPHICAL ORVANE File Transfer Utility".
const char* MainWindowTitle(const Options& options);
