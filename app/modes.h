// Process-wide mode flags and option values, written once during start-up.
#pragma once

extern int SetupMode;              // 1: fetch and run the setup program
extern int PushMode;               // 1: upload mode ("-EFTPPUSH")
extern int UserInteraction;        // 0 with "-N": no boxes, messages go to Install.log
extern int ConfirmInstall;         // bare "C:\orvane\bin\Install.exe": ask before anything
extern int FullSetup;              // "EFULL" anywhere: SetupImaging.exe instead of Setup.exe
extern int ShowTransferStatus;     // "-T"
extern int UseAdminService;        // "-A"
extern int RemoveAfterTransfer;    // "-R"
extern int RemoteCacheUnavailable; // "-S"

constexpr int kServerAddressCapacity = 100;
constexpr int kOptionCapacity = 512;
extern char OptionServerAddress[kServerAddressCapacity]; // "-I"
extern char OptionFileName[kOptionCapacity];             // "-F"
extern char OptionServerFolder[kOptionCapacity];         // "-G"
extern char OptionLocalFolder[kOptionCapacity];          // "-D"

// "GRAPHICAL ORVANE Setup Utility" in setup mode, else "GRAPHICAL ORVANE File Transfer Utility".
const char* MainWindowTitle();

// Back to the values the process starts with (used by tests and by start-up).
void ResetModeFlags();
