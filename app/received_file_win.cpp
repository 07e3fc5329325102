// The received file's work, reached from the main window: the product's folders made and granted
// at start-up, where a received file may go, and the steps after a complete file (the pipeline
// of install/, whose outcomes become the main window's step outcomes here).
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "app/app_win.h"
#include "base/install_log.h"
#include "base/product_paths.h"
#include "base/run_result.h"
#include "install/admin_client.h"
#include "install/permissions.h"
#include "session/received_digest.h"
#include "ui/session_win.h"

namespace {

bool Ends(const Outcome& outcome) {
    return outcome.kind == OutcomeKind::Failed || outcome.kind == OutcomeKind::Refused;
}

// A failure or refusal, told as its outcome says; then the run ends as `then` says.
StepOutcome Failing(const Outcome& outcome, AfterStep then) {
    ReportWay way = ReportWay::Failure;
    if (outcome.report == Report::BoxThenFailure)
        way = ReportWay::BoxThenFailure;
    else if (outcome.report == Report::BoxOnly)
        way = ReportWay::Box;
    return StepOutcome::Reporting(way, outcome.text.c_str(), outcome.caption, then);
}

} // namespace

void PrepareProductFolders() {
    CreateProductFolders();
    if (AdminServiceSetOrvanePermissions(0) == 0)
        SetOrvanePermissions();
}

StepOutcome ReceivedFileWork::Take(MainWindow& main, Session& s) {
    const Options& options = main.options;
    s.State = ConversationState::Ended;
    char line[kLogMessageCapacity];
    DescribeReceivedFile(s.LocalFilePath, s.reception.Received, line, sizeof line);
    // Held from here to its start (and to the end of the run): no other process can change it.
    pipeline_ = std::make_unique<ReceivedFilePipeline>(options);
    const Outcome taken =
        pipeline_->Take(ReceivedFile{s.LocalFilePath, s.reception.Received, line});
    if (Ends(taken)) {
        CloseServerConnection(s);
        return Failing(taken, AfterStep::Quit);
    }
    Session* session = &s;
    if (options.SetupMode) {
        const Outcome started =
            pipeline_->StartSetup([session] { CloseServerConnection(*session); });
        if (Ends(started))
            return Failing(started, AfterStep::Quit);
        NoteRunSucceeded();
        return StepOutcome::Ending();
    }
    if (std::strstr(s.LocalFilePath, "qorvath.exe") != nullptr) {
        pipeline_->MoveTo(kMovedProgram);
        std::snprintf(s.LocalFilePath, sizeof s.LocalFilePath, "%s", kMovedProgram);
    }
    session_ = &s;
    const bool box = options.UserInteraction && options.OptionServerAddress[0] == '\0';
    return StepOutcome::Reporting(box ? ReportWay::Box : ReportWay::Log, "File Transfer Complete!",
                                  "", AfterStep::StartReceived);
}

StepOutcome ReceivedFileWork::StartReceived(MainWindow& main) {
    NoteRunSucceeded();
    // The pipeline names the file by its own path; the connection is closed only while the
    // session is still there (it may have ended while the completion was told).
    SessionHost* host = &main.sessions;
    Session* session = session_;
    const Outcome started = pipeline_->StartReceived([host, session] {
        if (host->Current() == session)
            CloseServerConnection(*session);
    });
    if (Ends(started))
        return Failing(started, AfterStep::EndSession);
    return StepOutcome::Ending();
}
