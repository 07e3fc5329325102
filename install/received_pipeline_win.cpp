#include "install/received_pipeline_win.h"

#include <vector>

#include "base/install_log.h"
#include "install/permissions.h"
#include "install/permissions_win.h"
#include "install/program_trust.h"
#include "install/program_trust_win.h"
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
    return ReadPolicy(kDestinationPolicyValue, ParseAllowedDestinations);
}

} // namespace

Outcome ReceivedFilePipeline::Take(const ReceivedFile& file) {
    digest_ = file.digest;
    compare_ = true;
    path_ = file.path;
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
    path_ = to; // named so whether or not the move was made
    held_.Hold(to);
}

Outcome ReceivedFilePipeline::StartSetup(const std::function<void()>& closeConnection) {
    return RunSetup(options_, closeConnection, held_, compare_ ? &digest_ : nullptr);
}

Outcome ReceivedFilePipeline::StartReceived(const std::function<void()>& closeConnection) {
    const FileDigest* expected = compare_ ? &digest_ : nullptr;
    // The program's test cuts its text at the "." runs; the package's works on the whole path.
    std::string exe = path_;
    Outcome outcome = RunReceivedExe(options_, exe.data(), closeConnection, held_, expected);
    if (outcome.kind != OutcomeKind::NothingToStart)
        return outcome;
    std::string msi = path_;
    return RunReceivedMsi(options_, msi.data(), closeConnection, held_, expected);
}

bool ReceivedFileMayGoTo(const char* path) {
    static const DestinationPolicy policy = ReadDestinationPolicy();
    return DestinationAllowed(policy, path);
}
