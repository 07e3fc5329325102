// Starting the fetched setup program and received programs or packages: locally, through
// the AdminService, or through the Halvek utility.
#include "install/run_setup_win.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/install_log.h"
#include "base/os_version.h"
#include "base/product_paths.h"
#include "install/admin_client.h"
#include "install/process_start_win.h"
#include "install/program_trust_win.h"
#include "install/received_pipeline.h"
#include "install/file_kind.h"
#include "install/setup_arguments.h"
#include "install/start_way.h"
#include "install/version_arguments.h"
#include "platform/guarded_file.h"

namespace {

void LogOnce(const char* line) {
    WriteInstallLogText(line);
}

// Starts application (a full path, named to the system so that nothing else is searched for)
// with the command line it, quoted when it holds a blank, and tail make; held (the file the
// program needs) stays held in the program for its life.
int CreateLocally(const char* application, const char* tail, HANDLE held) {
    char commandLine[1024];
    const char* quote = std::strchr(application, ' ') ? "\"" : "";
    int length =
        std::snprintf(commandLine, sizeof commandLine, "%s%s%s%s", quote, application, quote, tail);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof commandLine)
        return 0;
    ProcessStart start;
    start.application = application;
    start.commandLine = commandLine;
    start.show = SW_SHOWNORMAL;
    start.held = held;
    HANDLE token = nullptr, primary = nullptr;
    if (ChooseLocalCreation(CurrentOsVersion()) == LocalCreation::AsUserWithPrimaryToken) {
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE, &token))
            return 0;
        if (!DuplicateTokenEx(token, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                              &primary)) {
            CloseHandle(token);
            return 0;
        }
        start.token = primary;
        start.flags = CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS;
    } else {
        start.inheritHandles = TRUE;
    }
    const StartedProcess started = StartHoldingFile(start, false, LogOnce);
    if (primary)
        CloseHandle(primary);
    if (token)
        CloseHandle(token);
    return started.started ? 1 : 0;
}

int AskAdminService(StartWay way, const char* program, const char* arguments) {
    if (way == StartWay::AdminAsAdmin)
        return AdminServiceCreateProcessAsAdmin(program, arguments);
    return AdminServiceCreateProcessAsAdminUser(program, arguments, 0);
}

// The administrator's policy, read (and logged when on) once per run, when a program is first due
// to start.
const TrustPolicy& RunTrustPolicy() {
    static const TrustPolicy policy = [] {
        TrustPolicy read = ReadTrustPolicy();
        if (read.on)
            WriteInstallLogText(TrustPolicyLine(read).c_str());
        return read;
    }();
    return policy;
}

// Without a policy every program may start. With one, the signature of the file held open under
// file is checked: true when it may start (the acceptance logged), else *refusal is the refusal
// line.
bool TrustedForStart(const char* path, HANDLE file, std::string* refusal) {
    const TrustPolicy& policy = RunTrustPolicy();
    if (!policy.on)
        return true;
    ProgramTrustCheck check = VerifyProgramTrust(path, file, policy);
    if (!check.detail.empty())
        WriteInstallLogText(check.detail.c_str());
    if (!check.accepted) {
        *refusal = check.line;
        return false;
    }
    WriteInstallLogText(check.line.c_str());
    return true;
}

// The held file is checked before it is started: still the file received, starting like a
// program (or package), and signed as the policy asks. Started when it may be started.
Outcome CheckedForStart(const char* path, bool installerPackage, const HeldFile& held,
                        const FileDigest* received) {
    const bool isHeld = held.IsHeld();
    const HeldVerdict bytes =
        !isHeld ? HeldVerdict::Unreadable
                : (received != nullptr ? held.CompareWith(*received) : HeldVerdict::Same);
    const bool startsLike = bytes == HeldVerdict::Same && held.StartsLike(installerPackage);
    std::string refusal;
    const bool trusted = startsLike && TrustedForStart(path, held.Handle(), &refusal);
    return RefusedStart(DecideStartCheck(isHeld, bytes, startsLike, trusted), path,
                        installerPackage, refusal);
}

Outcome Failure(const char* text, Report report = Report::Failure, const char* caption = "ERROR") {
    Outcome outcome;
    outcome.kind = OutcomeKind::Failed;
    outcome.text = text;
    outcome.caption = caption;
    outcome.report = report;
    return outcome;
}

Outcome Started() {
    Outcome outcome;
    outcome.kind = OutcomeKind::Started;
    return outcome;
}

// After a request the AdminService accepted, the caller keeps its file held a while longer; its
// windows keep painting meanwhile (a quit message seen then is posted again afterwards).
void AwaitServiceStart(int result, bool throughService) {
    if (result == 0 || !throughService)
        return;
    const DWORD begin = GetTickCount();
    bool quit = false;
    int quitCode = 0;
    for (DWORD spent = 0; spent < kServiceStartMarginMs; spent = GetTickCount() - begin) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kServiceStartMarginMs - spent, QS_ALLINPUT);
        MSG message;
        while (!quit && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit = true;
                quitCode = static_cast<int>(message.wParam);
                break;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    if (quit)
        PostQuitMessage(quitCode);
}

bool GoesThroughService(const Options& options, const char* command, const char* arguments) {
    // The Halvek way holds and waits for its own program.
    const StartWay way = ChooseStartWay(options, CurrentOsVersion(), command, arguments);
    return way == StartWay::AdminAsAdmin || way == StartWay::AdminAsAdminUser;
}

int StartProgram(const Options& options, const char* command, const char* arguments,
                 const char* application, const char* tail, HANDLE held);
} // namespace

int RunHalvekUtilityFromInstall(const Options& options, const char* command,
                                const char* arguments) {
    return StartProgram(options, command, arguments, command, "", INVALID_HANDLE_VALUE);
}

namespace {
// The start of RunHalvekUtilityFromInstall with its local start named: application and tail
// (what follows it on the command line) when command is not a program's path alone.
int StartProgram(const Options& options, const char* command, const char* arguments,
                 const char* application, const char* tail, HANDLE held) {
    switch (ChooseStartWay(options, CurrentOsVersion(), command, arguments)) {
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
        return CreateLocally(application, tail, held);
    }
}

// The system's package installer by its full path in the system folder ("" when unknown).
void SystemInstallerPath(char* out, std::size_t outSize) {
    UINT length = GetSystemDirectoryA(out, static_cast<UINT>(outSize));
    if (length == 0 || length >= outSize ||
        std::snprintf(out + length, outSize - length, "\\msiexec.exe") >=
            static_cast<int>(outSize - length))
        out[0] = '\0';
}
} // namespace

int RunHalvekUtility() {
    // Held from its check to its start, like a received program (a missing one is not held).
    HeldFile held;
    if (!held.Hold(kHalvekProgram) || !held.StartsLike(false))
        return 0;
    std::string refusal;
    if (!TrustedForStart(kHalvekProgram, held.Handle(), &refusal)) {
        WriteInstallLogText(refusal.c_str());
        return 0;
    }
    char command[100] = {};
    std::snprintf(command, sizeof command, "%s -sp-A", kHalvekProgram);
    int result = AskAdminService(ChooseAdminWay(CurrentOsVersion()), "NULL", command);
    AwaitServiceStart(result, true);
    if (result == 1) {
        if (std::FILE* marker = OpenGuardedFile(kHalvekMarker, "wb")) {
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

Outcome RunSetup(const Options& options, const std::function<void()>& closeConnection,
                 const HeldFile& held, const FileDigest* received) {
    WriteInstallLog("RunSetup");
    closeConnection();
    const bool fullSetup = options.FullSetup;
    const bool userInteraction = options.UserInteraction;
    const bool useAdminService = options.UseAdminService;
    // The file held and checked is the one started, wherever -D put it.
    char command[100] = {};
    std::snprintf(command, sizeof command, "%s",
                  held.IsHeld() ? held.Path() : ChooseSetupProgram(fullSetup).received);
    Outcome checked = CheckedForStart(command, false, held, received);
    if (checked.kind != OutcomeKind::Started)
        return checked;
    char arguments[100] = {};
    std::snprintf(
        arguments, sizeof arguments, "%s",
        SetupArguments(useAdminService, fullSetup, userInteraction, options.ShowTransferStatus));
    const int started = StartProgram(options, command, arguments, command, "", held.Handle());
    AwaitServiceStart(started, GoesThroughService(options, command, arguments));
    if (started) {
        WriteInstallLog("Started %s", command);
        return Started();
    }
    if (useAdminService)
        return Failure("UNABLE TO CREATE SETUP PROCESS!!\nCould not connect to AdminService!",
                       Report::BoxOnly, "");
    return Failure("UNABLE TO CREATE SETUP PROCESS!!", Report::Failure, "");
}

Outcome RunReceivedExe(const Options& options, char* path,
                       const std::function<void()>& closeConnection, const HeldFile& held,
                       const FileDigest* received) {
    // Room for a full LocalFilePath and the longest version arguments.
    char command[kRunCommandCapacity + kVersionArgumentsCapacity] = {};
    std::snprintf(command, sizeof command, "%s", path);
    if (!SecondTokenIs(path, "exe"))
        return Outcome{};
    closeConnection();
    Outcome checked = CheckedForStart(command, false, held, received);
    if (checked.kind != OutcomeKind::Started)
        return checked;
    char program[kRunCommandCapacity] = {};
    std::snprintf(program, sizeof program, "%s", command);
    char version[kVersionArgumentsCapacity] = {};
    bool found = BuildVersionArguments(command, version, sizeof version);
    if (found)
        std::strncat(command, version, sizeof command - std::strlen(command) - 1);
    int result;
    if (options.UseAdminService && found) {
        result = AskAdminService(ChooseAdminWay(CurrentOsVersion()), "NULL", command);
        AwaitServiceStart(result, true);
    } else {
        result = StartProgram(options, command, "", program, found ? version : "", held.Handle());
        AwaitServiceStart(result, GoesThroughService(options, command, ""));
    }
    if (result != 0) {
        WriteInstallLog("Started %s", program);
        return Started();
    }
    char text[200];
    if (options.UseAdminService) {
        std::snprintf(text, sizeof text, "Unable to run %s\nCould not connect to AdminService!",
                      command);
        return Failure(text, Report::BoxThenFailure);
    }
    std::snprintf(text, sizeof text, "Unable to run %s", command);
    return Failure(text);
}

Outcome RunReceivedMsi(const Options& options, char* path,
                       const std::function<void()>& closeConnection, const HeldFile& held,
                       const FileDigest* received) {
    char copy[100] = {};
    std::snprintf(copy, sizeof copy, "%s", path);
    if (!SecondTokenIs(path, "msi"))
        return Outcome{};
    closeConnection();
    Outcome checked = CheckedForStart(copy, true, held, received);
    if (checked.kind != OutcomeKind::Started)
        return checked;
    char command[200] = {};
    std::snprintf(command, sizeof command, "msiexec /i %s", copy);
    char text[200];
    if (options.UseAdminService) {
        const int result = AskAdminService(ChooseAdminWay(CurrentOsVersion()), "NULL", command);
        AwaitServiceStart(result, true);
        if (result != 0) {
            WriteInstallLog("Started %s", copy);
            return Started();
        }
        std::snprintf(text, sizeof text, "Unable to run %s\nCould not connect to AdminService!",
                      command);
        return Failure(text, Report::BoxThenFailure);
    }
    char installer[MAX_PATH];
    SystemInstallerPath(installer, sizeof installer);
    char tail[200];
    const char* quote = std::strchr(copy, ' ') ? "\"" : "";
    std::snprintf(tail, sizeof tail, " /i %s%s%s", quote, copy, quote);
    if (installer[0] != '\0') {
        const int result = StartProgram(options, command, "", installer, tail, held.Handle());
        AwaitServiceStart(result, GoesThroughService(options, command, ""));
        if (result != 0) {
            WriteInstallLog("Started %s", copy);
            return Started();
        }
    }
    std::snprintf(text, sizeof text, "Unable to run %s", copy);
    return Failure(text);
}
