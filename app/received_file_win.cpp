// The received file's work, reached from the main window through its hooks: the product's
// folders made and granted at start-up, and the steps after a complete file (its grant, the
// qorvath.exe move, the Install.log line and the starts).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "app/app_win.h"
#include "base/box_win.h"
#include "base/install_log.h"
#include "base/product_paths.h"
#include "base/run_result.h"
#include "install/admin_client.h"
#include "install/held_file_win.h"
#include "install/permissions.h"
#include "install/run_setup_win.h"
#include "session/received_digest.h"
#include "session/session_win.h"
#include "transport/guarded_file.h"

void PrepareProductFolders() {
    CreateProductFolders();
    if (AdminServiceSetOrvanePermissions(0) == 0)
        SetOrvanePermissions();
}

void AfterCompleteFile(MainWindow& main, Session& s) {
    const Options& options = main.options;
    HWND window = main.window;
    // Held from here to its start: no other process can change it meanwhile.
    HeldFile held;
    held.Hold(s.LocalFilePath);
    const FileDigest received = s.Received;
    AddAceToFileSecurity(s.LocalFilePath, "Everyone", kGenericAll);
    s.IgnoreSocketEvents = true;
    char line[kLogMessageCapacity];
    DescribeReceivedFile(s.LocalFilePath, received, line, sizeof line);
    WriteInstallLogText(line);
    Session* session = &s;
    auto closeConnection = [session] { CloseServerConnection(*session); };
    if (options.SetupMode) {
        if (RunSetup(options, window, closeConnection, held, &received) == AfterSetup::EndSession)
            EndSession(main);
        return;
    }
    const FileDigest* expected = &received;
    if (std::strstr(s.LocalFilePath, "qorvath.exe") != nullptr) {
        // A qorvath.exe already there is kept and started instead: held, but not the file
        // received.
        held.Release();
        if (!MoveGuardedFile(s.LocalFilePath, kMovedProgram, false))
            expected = nullptr;
        std::snprintf(s.LocalFilePath, sizeof s.LocalFilePath, "%s", kMovedProgram);
        held.Hold(s.LocalFilePath);
    }
    // The box and the starts below run message loops: they work on copies of the path, and
    // the connection is closed only while the session is still the current one.
    char path[kLocalFilePathCapacity];
    std::memcpy(path, s.LocalFilePath, sizeof path);
    char copy[kLocalFilePathCapacity];
    std::memcpy(copy, s.LocalFilePath, sizeof copy);
    const std::uint32_t generation = main.sessions.Generation();
    SessionHost* host = &main.sessions;
    auto closeIfCurrent = [host, session, generation] {
        if (host->IsCurrent(generation))
            CloseServerConnection(*session);
    };
    if (options.UserInteraction && options.OptionServerAddress[0] == '\0')
        ShowBox(window, "File Transfer Complete!", "", MB_OK);
    else
        WriteInstallLog("File Transfer Complete!");
    NoteRunSucceeded();
    RunReceivedExe(options, path, window, closeIfCurrent, held, expected);
    RunReceivedMsi(options, copy, window, closeIfCurrent, held, expected);
    EndSession(main);
}
