// AdminService.exe: the stand-in AdminService, run in the foreground from a console or as a
// Windows service. It starts programs with the rights it runs with and hands the permissions
// request over to the elevated helper.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "tools/adminservice/stand_in_win.h"
#include "platform/system_library_win.h"

namespace {
constexpr const char* kServiceName = "AdminService";
constexpr const char* kDisplayName = "AdminService stand-in (127.0.0.1:13021)";
constexpr const char* kUsage =
    "usage: AdminService.exe console | install | remove\n"
    "  console  serve requests on 127.0.0.1:13021 in the foreground (Ctrl+C stops)\n"
    "  install  register as the Windows service \"AdminService\" (automatic start)\n"
    "  remove   stop and unregister the service\n"
    "  (the service control manager starts it as \"AdminService.exe service\")\n";

volatile LONG stopRequested = 0;

SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};

void Report(DWORD state, DWORD exitCode = NO_ERROR) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 3000;
    if (statusHandle)
        SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI ServiceControl(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOP_PENDING);
        InterlockedExchange(&stopRequested, 1);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, char**) {
    statusHandle = RegisterServiceCtrlHandlerExA(kServiceName, ServiceControl, nullptr);
    if (!statusHandle)
        return;
    Report(SERVICE_START_PENDING);
    Report(SERVICE_RUNNING);
    StandInLog("started as a service");
    int code = RunStandInServer(&stopRequested);
    Report(SERVICE_STOPPED, code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR);
}

BOOL WINAPI ConsoleControl(DWORD) {
    InterlockedExchange(&stopRequested, 1);
    return TRUE;
}

int Install() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        std::printf("cannot find this program's path\n");
        return 1;
    }
    char command[MAX_PATH + 32];
    std::snprintf(command, sizeof command, "\"%s\" service", path);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager) {
        std::printf("cannot open the service control manager (error %lu)\n", GetLastError());
        return 1;
    }
    SC_HANDLE service =
        CreateServiceA(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command,
                       nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) {
        std::printf("cannot create the service (error %lu)\n", GetLastError());
        CloseServiceHandle(manager);
        return 1;
    }
    bool started = StartServiceA(service, 0, nullptr) != 0;
    std::printf("service \"%s\" installed (%s)%s\n", kServiceName, command,
                started ? " and started" : "");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

int Remove() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
        std::printf("cannot open the service control manager (error %lu)\n", GetLastError());
        return 1;
    }
    SC_HANDLE service =
        OpenServiceA(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (!service) {
        std::printf("service \"%s\" not found (error %lu)\n", kServiceName, GetLastError());
        CloseServiceHandle(manager);
        return 1;
    }
    SERVICE_STATUS state{};
    ControlService(service, SERVICE_CONTROL_STOP, &state);
    bool removed = DeleteService(service) != 0;
    DWORD error = GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (!removed) {
        std::printf("cannot remove the service (error %lu)\n", error);
        return 1;
    }
    std::printf("service \"%s\" removed\n", kServiceName);
    return 0;
}
} // namespace

int main(int argc, char** argv) {
    // Before anything else can load a library: never from the program's own folder.
    RestrictLibrarySearch();
    const char* word = argc == 2 ? argv[1] : "";
    if (std::strcmp(word, "console") == 0) {
        StandInLogToConsole(true);
        SetConsoleCtrlHandler(ConsoleControl, TRUE);
        StandInLog("started in the foreground");
        return RunStandInServer(&stopRequested);
    }
    if (std::strcmp(word, "install") == 0)
        return Install();
    if (std::strcmp(word, "remove") == 0)
        return Remove();
    if (std::strcmp(word, "service") == 0) {
        SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), ServiceMain},
                                        {nullptr, nullptr}};
        if (StartServiceCtrlDispatcherA(table))
            return 0;
        std::printf("not started by the service control manager (error %lu)\n%s", GetLastError(),
                    kUsage);
        return 1;
    }
    std::printf("%s", kUsage);
    return argc == 1 ? 0 : 2;
}
