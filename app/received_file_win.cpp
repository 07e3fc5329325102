// The received file's work, reached from the main window through its hooks: the product's
// folders made and granted at start-up, where a received file may go, and the steps after a
// complete file (the pipeline of install/, whose outcomes are reported and acted on here).
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "app/app_win.h"
#include "base/box_win.h"
#include "base/install_log.h"
#include "base/product_paths.h"
#include "base/report_win.h"
#include "base/run_result.h"
#include "install/admin_client.h"
#include "install/permissions.h"
#include "install/received_pipeline_win.h"
#include "session/received_digest.h"
#include "ui/session_win.h"

namespace {

// A failure or refusal: reported as its outcome says, then the run quits.
void ReportAndQuit(const Options& options, HWND window, const Outcome& outcome) {
    if (outcome.report != Report::Failure)
        ShowBox(window, outcome.text.c_str(), outcome.caption, MB_OK);
    if (outcome.report != Report::BoxOnly)
        ReportFailure(options, window, outcome.text.c_str(), outcome.caption);
    PostQuitMessage(0);
}

bool Ends(const Outcome& outcome) {
    return outcome.kind == OutcomeKind::Failed || outcome.kind == OutcomeKind::Refused;
}

} // namespace

void PrepareProductFolders() {
    CreateProductFolders();
    if (AdminServiceSetOrvanePermissions(0) == 0)
        SetOrvanePermissions();
}

void AfterCompleteFile(MainWindow& main, Session& s) {
    const Options& options = main.options;
    HWND window = main.window;
    s.State = ConversationState::Ended;
    char line[kLogMessageCapacity];
    DescribeReceivedFile(s.LocalFilePath, s.reception.Received, line, sizeof line);
    // Held from here to its start: no other process can change it meanwhile.
    ReceivedFilePipeline pipeline(options);
    const Outcome taken = pipeline.Take(ReceivedFile{s.LocalFilePath, s.reception.Received, line});
    if (Ends(taken)) {
        CloseServerConnection(s);
        ReportAndQuit(options, window, taken);
        return;
    }
    Session* session = &s;
    if (options.SetupMode) {
        const Outcome started = pipeline.StartSetup([session] { CloseServerConnection(*session); });
        if (Ends(started)) {
            ReportAndQuit(options, window, started);
            return;
        }
        NoteRunSucceeded();
        EndSession(main);
        return;
    }
    if (std::strstr(s.LocalFilePath, "qorvath.exe") != nullptr) {
        pipeline.MoveTo(kMovedProgram);
        std::snprintf(s.LocalFilePath, sizeof s.LocalFilePath, "%s", kMovedProgram);
    }
    // The box and the starts below run message loops in which the window may be destroyed
    // (which ends the session): the pipeline names the file by its own path, and the connection
    // is closed only while the session is still there.
    SessionHost* host = &main.sessions;
    auto closeIfCurrent = [host, session] {
        if (host->Current() == session)
            CloseServerConnection(*session);
    };
    if (options.UserInteraction && options.OptionServerAddress[0] == '\0')
        ShowBox(window, "File Transfer Complete!", "", MB_OK);
    else
        WriteInstallLog("File Transfer Complete!");
    NoteRunSucceeded();
    const Outcome started = pipeline.StartReceived(closeIfCurrent);
    if (Ends(started))
        ReportAndQuit(options, window, started);
    EndSession(main);
}
