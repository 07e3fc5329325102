// The product's fixed folders and files on the machine it runs on, each written once. Every
// path keeps the exact bytes it has always had: where one is logged, shown or compared in two
// spellings, each spelling has its own name.
#pragma once

// The product's own folders.
constexpr char kProductFolder[] = "C:\\orvane";
constexpr char kProgramFolder[] = "C:\\orvane\\bin";
constexpr char kZelFolder[] = "C:\\orvane\\zel";           // granted with everything below it
constexpr char kUploadFolder[] = "C:\\orvane\\winsupport"; // files sent to the server
constexpr char kUploadFolderFiles[] = "c:\\orvane\\winsupport\\*";

// The transfer folders: created and granted as "C:\KLV...", received programs named in them as
// "C:\klv...".
constexpr char kKlvFolder[] = "C:\\KLV";
constexpr char kKlvTransferFolder[] = "C:\\KLV\\transfer";
constexpr char kTransferFolder[] = "C:\\klv\\transfer";
constexpr char kHalvekProgram[] = "C:\\klv\\transfer\\Halvek.exe";
constexpr char kHalvekMarker[] = "C:\\klv\\halvek\\RanForWebZel.txt";

// Files in the program folder.
constexpr char kInstalledProgram[] = "C:\\orvane\\bin\\Install.exe";
constexpr char kQuotedInstalledProgram[] = "\"C:\\orvane\\bin\\Install.exe\"";
constexpr char kInstallLogFile[] = "c:\\orvane\\bin\\Install.log";
constexpr char kRunResultFile[] = "c:\\orvane\\bin\\Install.result";
constexpr char kServerAddressFile[] = "C:\\orvane\\bin\\IpAdd.txt";
constexpr char kAdminLogFolder[] = "C:\\orvane\\bin\\Services\\ErrorLogs";
constexpr char kAdminDebuggingSwitch[] = "c:\\orvane\\bin\\ADMIN_DEBUGGING_ON.txt";
constexpr char kMovedProgram[] = "c:\\orvane\\bin\\qorvath.exe"; // a received qorvath.exe

// The setup program of a run in setup mode: Setup.exe, or SetupImaging.exe for a full setup
// ("EFULL").
constexpr char kSetupProgram[] = "C:\\klv\\transfer\\Setup.exe";
constexpr char kFullSetupProgram[] = "C:\\klv\\transfer\\SetupImaging.exe";
struct SetupProgram {
    const char* name;      // as asked of the server
    const char* received;  // where it is received and started from
    const char* installed; // the copy an interactive setup removes when the run ends
};
constexpr SetupProgram ChooseSetupProgram(bool fullSetup) {
    return fullSetup ? SetupProgram{"SetupImaging.exe", kFullSetupProgram,
                                    "C:\\orvane\\bin\\SetupImaging.exe"}
                     : SetupProgram{"Setup.exe", kSetupProgram, "C:\\orvane\\bin\\Setup.exe"};
}
