#include "install/received_pipeline_win.h"

#include <vector>

#include "base/install_log.h"
#include "install/permissions.h"
#include "install/permissions_win.h"
#include "install/program_trust.h"
#include "install/run_setup_win.h"
#include "platform/guarded_file.h"

namespace {

Outcome UnableToRun(const char* path) {
    Outcome outcome;
    outcome.kind = OutcomeKind::Failed;
    outcome.text = std::string("Unable to run ") + path;
    return outcome;
}

// HKLM\SOFTWARE\Policies\GRAPHICAL ORVANE\Install, AllowedDestinations (64-bit view). On, naming
// no folder, when the value is present but not a REG_MULTI_SZ.
DestinationPolicy ReadDestinationPolicy() {
    DestinationPolicy policy;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTrustPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS)
        return policy;
    DWORD type = 0, size = 0;
    LONG found = RegQueryValueExA(key, kDestinationPolicyValue, nullptr, &type, nullptr, &size);
    if (found == ERROR_SUCCESS || found == ERROR_MORE_DATA) {
        policy.on = true;
        std::vector<char> data(size + 2, '\0');
        DWORD read = size;
        if (type == REG_MULTI_SZ &&
            RegQueryValueExA(key, kDestinationPolicyValue, nullptr, &type,
                             reinterpret_cast<BYTE*>(data.data()), &read) == ERROR_SUCCESS &&
            read <= size)
            policy = ParseAllowedDestinations(data.data(), read);
    }
    RegCloseKey(key);
    return policy;
}

} // namespace

Outcome ReceivedFilePipeline::Take(const ReceivedFile& file) {
    digest_ = file.digest;
    compare_ = true;
    if (!held_.Hold(file.path, WRITE_DAC | READ_CONTROL))
        return UnableToRun(file.path);
    AddAceToObjectSecurity(held_.Handle(), "Everyone", kGenericAll);
    WriteInstallLogText(file.line);
    return Outcome{};
}

void ReceivedFilePipeline::MoveTo(const char* to) {
    const std::string from = held_.Path();
    held_.Release();
    compare_ = MoveGuardedFile(from.c_str(), to, false);
    held_.Hold(to);
}

Outcome ReceivedFilePipeline::StartSetup(const std::function<void()>& closeConnection) {
    return RunSetup(options_, closeConnection, held_, compare_ ? &digest_ : nullptr);
}

Outcome ReceivedFilePipeline::StartReceived(char* path, char* copy,
                                            const std::function<void()>& closeConnection) {
    const FileDigest* expected = compare_ ? &digest_ : nullptr;
    Outcome outcome = RunReceivedExe(options_, path, closeConnection, held_, expected);
    if (outcome.kind != OutcomeKind::NothingToStart)
        return outcome;
    return RunReceivedMsi(options_, copy, closeConnection, held_, expected);
}

bool ReceivedFileMayGoTo(const char* path) {
    static const DestinationPolicy policy = ReadDestinationPolicy();
    return DestinationAllowed(policy, path);
}
