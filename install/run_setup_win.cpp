// Starting the fetched setup program and received programs or packages: locally, through
// the AdminService, or through the Halvek utility.
#include "install/run_setup.h"

#include <io.h>

#include <cstdio>
#include <cstring>

#include "app/install_log.h"
#include "app/modes.h"
#include "app/os_version.h"
#include "app/run_result.h"
#include "install/admin_client.h"
#include "install/version_args.h"
#include "session/session_state.h"
#include "session/session_win.h"
#include "transport/box_win.h"
#include "transport/klv_socket.h"

namespace {

const char kSetupProgram[] = "C:\\klv\\transfer\\Setup.exe";
const char kFullSetupProgram[] = "C:\\klv\\transfer\\SetupImaging.exe";
const char kHalvekProgram[] = "C:\\klv\\transfer\\Halvek.exe";
const char kHalvekMarker[] = "C:\\klv\\halvek\\RanForWebZel.txt";

int CreateLocally(const char* command) {
    char commandLine[1024];
    std::snprintf(commandLine, sizeof commandLine, "%s", command);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process{};
    BOOL created;
    if (ChooseLocalCreation() == LocalCreation::AsUserWithPrimaryToken) {
        HANDLE token = nullptr, primary = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE, &token))
            return 0;
        if (!DuplicateTokenEx(token, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                              &primary)) {
            CloseHandle(token);
            return 0;
        }
        created = CreateProcessAsUserA(primary, nullptr, commandLine, nullptr, nullptr, FALSE,
                                       CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                                       &startup, &process);
        CloseHandle(primary);
        CloseHandle(token);
    } else {
        created = CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &process);
    }
    if (created) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return created ? 1 : 0;
}

int AskAdminService(StartWay way, const char* program, const char* arguments) {
    if (way == StartWay::AdminAsAdmin)
        return AdminServiceCreateProcessAsAdmin(program, arguments);
    return AdminServiceCreateProcessAsAdminUser(program, arguments, 0);
}

void CloseServerConnection() {
    shutdownAndCloseSocket(ServerSocket);
    ServerSocket = KLV_INVALID_SOCKET;
    cleanupWinsock();
}

void ReportOrLog(HWND owner, const char* text) {
    if (UserInteraction) {
        ShowBox(owner, text, "ERROR", MB_OK);
    } else {
        WriteInstallLogText(text);
        NoteRunFailed(text);
    }
}

// A received file that does not start like a program (or package) is not started: reported
// like a failed start, naming it. True when it may be started.
bool StartsLikeOne(HWND owner, const char* path, bool installerPackage) {
    if (HasProgramSignature(path, installerPackage))
        return true;
    char text[200];
    std::snprintf(
        text, sizeof text,
        installerPackage ? "ERROR Not An Installer Package: %s" : "ERROR Not A Program: %s", path);
    ReportOrLog(owner, text);
    PostQuitMessage(0);
    return false;
}

} // namespace

int RunHalvekUtilityFromInstall(const char* command, const char* arguments) {
    switch (ChooseStartWay(command, arguments)) {
    case StartWay::HalvekUtility:
        WriteInstallLog("RunHalvekUtilityFromInstall()");
        return RunHalvekUtility();
    case StartWay::AdminAsAdmin:
        WriteInstallLog("AdminServiceCreateProcessAsAdmin( %s, %s )", command, arguments);
        return AdminServiceCreateProcessAsAdmin(command, arguments);
    case StartWay::AdminAsAdminUser:
        WriteInstallLog("AdminServiceCreateProcessAsAdminUser( %s, %s )", command, arguments);
        return AdminServiceCreateProcessAsAdminUser(command, arguments, 0);
    case StartWay::Local:
    default:
        return CreateLocally(command);
    }
}

int RunHalvekUtility() {
    if (_access(kHalvekProgram, 0) != 0 || !HasProgramSignature(kHalvekProgram, false))
        return 0;
    char command[100] = {};
    std::snprintf(command, sizeof command, "%s -sp-A", kHalvekProgram);
    int result = AskAdminService(ChooseAdminWay(), "NULL", command);
    if (result == 1) {
        if (std::FILE* marker = std::fopen(kHalvekMarker, "wb")) {
            std::fputs("This file signals to Orvane that Halvek has ran on this PC at least "
                       "once.\r\n"
                       "Before Web ZEL runs, it checks to make sure Halvek has ran once on this "
                       "PC.\r\n"
                       "Orvane will check the systeminfo.txt file, but just in case something "
                       "happens\r\n"
                       "to that file, it also checks for this file (which no other program "
                       "should touch).\r\n",
                       marker);
            std::fclose(marker);
        }
    }
    return result;
}

void RunSetup(HWND owner) {
    WriteInstallLog("RunSetup");
    CloseServerConnection();
    const char* command = FullSetup ? kFullSetupProgram : kSetupProgram;
    if (!StartsLikeOne(owner, command, false))
        return;
    char arguments[100] = {};
    std::snprintf(arguments, sizeof arguments, "%s",
                  SetupArguments(UseAdminService, FullSetup, UserInteraction, ShowTransferStatus));
    if (RunHalvekUtilityFromInstall(command, arguments)) {
        NoteRunSucceeded();
        EndSession();
        return;
    }
    if (UseAdminService)
        ShowBox(owner, "UNABLE TO CREATE SETUP PROCESS!!\nCould not connect to AdminService!", "",
                MB_OK);
    else if (!UserInteraction)
        WriteInstallLog("UNABLE TO CREATE SETUP PROCESS!!");
    else
        ShowBox(owner, "UNABLE TO CREATE SETUP PROCESS!!", "", MB_OK);
    if (!UseAdminService && !UserInteraction)
        NoteRunFailed("UNABLE TO CREATE SETUP PROCESS!!");
    PostQuitMessage(0);
}

void RunReceivedExe(char* path, HWND owner) {
    // Room for a full LocalFilePath and the longest version arguments.
    char command[kRunCommandCapacity + kVersionArgumentsCapacity] = {};
    std::snprintf(command, sizeof command, "%s", path);
    if (!SecondTokenIs(path, "exe"))
        return;
    CloseServerConnection();
    if (!StartsLikeOne(owner, command, false))
        return;
    char version[kVersionArgumentsCapacity] = {};
    bool found = BuildVersionArguments(command, version, sizeof version);
    if (found)
        std::strncat(command, version, sizeof command - std::strlen(command) - 1);
    int result;
    if (UseAdminService && found)
        result = AskAdminService(ChooseAdminWay(), "NULL", command);
    else
        result = RunHalvekUtilityFromInstall(command, "");
    if (result != 0)
        return;
    char text[200];
    if (UseAdminService) {
        std::snprintf(text, sizeof text, "Unable to run %s\nCould not connect to AdminService!",
                      command);
        ShowBox(owner, text, "ERROR", MB_OK);
    } else {
        std::snprintf(text, sizeof text, "Unable to run %s", command);
    }
    ReportOrLog(owner, text);
    PostQuitMessage(0);
}

void RunReceivedMsi(char* path, HWND owner) {
    char copy[100] = {};
    std::snprintf(copy, sizeof copy, "%s", path);
    if (!SecondTokenIs(path, "msi"))
        return;
    CloseServerConnection();
    if (!StartsLikeOne(owner, copy, true))
        return;
    char command[200] = {};
    std::snprintf(command, sizeof command, "msiexec /i %s", copy);
    char text[200];
    if (UseAdminService) {
        if (AskAdminService(ChooseAdminWay(), "NULL", command) != 0)
            return;
        std::snprintf(text, sizeof text, "Unable to run %s\nCould not connect to AdminService!",
                      command);
        ShowBox(owner, text, "ERROR", MB_OK);
        ReportOrLog(owner, text);
        PostQuitMessage(0);
        return;
    }
    if (RunHalvekUtilityFromInstall(command, "") != 0)
        return;
    std::snprintf(text, sizeof text, "Unable to run %s", copy);
    ReportOrLog(owner, text);
    PostQuitMessage(0);
}
