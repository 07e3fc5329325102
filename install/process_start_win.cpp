#include "install/process_start_win.h"

#include <vector>

namespace {

#ifndef PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY
#define PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY 0x00020007
#endif
constexpr DWORD64 kPreferSystem32AlwaysOn = 0x1ull << 60;
constexpr DWORD kExtendedStartupInfoPresent = 0x00080000;

volatile LONG mitigationRefusalLogged = 0;

// The attribute list asking for the mitigation, or empty when the system does not know it.
bool MitigationList(std::vector<unsigned char>* storage, DWORD64* policy) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0)
        return false;
    storage->assign(size, 0);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage->data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size))
        return false;
    *policy = kPreferSystem32AlwaysOn;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY, policy,
                                   sizeof *policy, nullptr, nullptr)) {
        DeleteProcThreadAttributeList(list);
        return false;
    }
    return true;
}

BOOL Create(const ProcessStart& start, STARTUPINFOEXA* info, DWORD flags,
            PROCESS_INFORMATION* process) {
    STARTUPINFOA* startup = &info->StartupInfo;
    if (start.token)
        return CreateProcessAsUserA(start.token, start.application, start.commandLine, nullptr,
                                    nullptr, start.inheritHandles, flags, nullptr, nullptr, startup,
                                    process);
    return CreateProcessA(start.application, start.commandLine, nullptr, nullptr,
                          start.inheritHandles, flags, nullptr, nullptr, startup, process);
}

} // namespace

StartedProcess StartHoldingFile(const ProcessStart& start, bool keepProcess,
                                void (*log)(const char* line)) {
    StartedProcess result;
    STARTUPINFOEXA info{};
    info.StartupInfo.cb = sizeof info.StartupInfo;
    info.StartupInfo.lpDesktop = const_cast<char*>(start.desktop);
    if (start.show != ~0u) {
        info.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
        info.StartupInfo.wShowWindow = static_cast<WORD>(start.show);
    }
    std::vector<unsigned char> storage;
    DWORD64 policy = 0;
    const DWORD flags = start.flags | CREATE_SUSPENDED;
    PROCESS_INFORMATION process{};
    BOOL created = FALSE;
    if (MitigationList(&storage, &policy)) {
        info.StartupInfo.cb = sizeof info;
        info.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        created = Create(start, &info, flags | kExtendedStartupInfoPresent, &process);
        const DWORD error = GetLastError();
        DeleteProcThreadAttributeList(info.lpAttributeList);
        info.lpAttributeList = nullptr;
        info.StartupInfo.cb = sizeof info.StartupInfo;
        // A system that does not know the attribute refuses the whole start: once more without.
        if (!created && error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED) {
            result.error = error;
            return result;
        }
    }
    if (!created) {
        if (log && InterlockedExchange(&mitigationRefusalLogged, 1) == 0)
            log("The system refused the image-load mitigation: programs start without it");
        created = Create(start, &info, flags, &process);
    }
    if (!created) {
        result.error = GetLastError();
        return result;
    }
    HANDLE copy = nullptr;
    if (start.held != INVALID_HANDLE_VALUE &&
        !DuplicateHandle(GetCurrentProcess(), start.held, process.hProcess, &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        result.error = GetLastError();
        TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return result;
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    result.started = true;
    result.pid = process.dwProcessId;
    if (keepProcess)
        result.process = process.hProcess;
    else
        CloseHandle(process.hProcess);
    return result;
}
