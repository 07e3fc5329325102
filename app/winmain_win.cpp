// Program entry: start-up objects, window classes, the elevated-helper branch, the main window
// and the message loop.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "app/app_win.h"
#include "install/received_pipeline_win.h"
#include "platform/guarded_scope.h"
#include "app/cmdline.h"
#include "app/label_geometry.h"
#include "base/box.h"
#include "base/box_win.h"
#include "base/install_log.h"
#include "base/options.h"
#include "base/report_win.h"
#include "base/product_paths.h"
#include "base/resource.h"
#include "base/run_result.h"
#include "base/time_limits.h"
#include "install/admin_helper_win.h"
#include "install/admin_log.h"
#include "session/session_watch.h"
#include "ui/session_win.h"
#include "transport/framing.h"
#include "transport/klv_socket.h"
#include "platform/system_library_win.h"
#include "transport/transport_errors.h"

namespace {

constexpr DWORD kMainWindowStyle =
    WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX; // 0x60A0000
static_assert(kMainWindowStyle == 0x60A0000, "main window style");

void RegisterWindowClasses(HINSTANCE instance, HBRUSH background) {
    WNDCLASSEXA main{};
    main.cbSize = sizeof main;
    main.style = CS_HREDRAW | CS_VREDRAW;
    main.lpfnWndProc = MainWindowProc;
    main.hInstance = instance;
    main.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_INSTALL));
    main.hIconSm = main.hIcon;
    main.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    main.hbrBackground = background;
    main.lpszClassName = "Install";
    RegisterClassExA(&main);

    WNDCLASSEXA label{};
    label.cbSize = sizeof label;
    label.style = CS_HREDRAW | CS_VREDRAW;
    label.lpfnWndProc = LabelWindowProc;
    label.hInstance = instance;
    label.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
    label.hbrBackground = background;
    label.lpszClassName = "Label Class";
    RegisterClassExA(&label);
}

// Every box is part of the run's outcome; without a user it is also the Install.log line.
void ReportBoxOfRun(const char* line, bool unattended) {
    if (unattended)
        LogRunFailure(line);
    else
        NoteRunFailed(line);
}

// The helper never has a user.
void ReportBoxOfHelper(const char* line, bool) {
    WriteInstallLogText(line);
}

// A missing entry point of the socket library has asked the program to end: its ownerless box
// comes before the run's end.
void ShowMissingEntry() {
    TransportError failure;
    if (TakeMissingEntryFailure(&failure))
        ShowTransportError(failure);
}

int UnattendedBoxTimeoutMs() {
    return TimeLimitMs("KLV_TEST_BOX_TIMEOUT_MS", kBoxTimeoutMs);
}

} // namespace

HFONT CreateDialogFont() {
    HDC screen = GetDC(nullptr);
    int pixelsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    LOGFONTA font{};
    font.lfHeight = DialogFontHeight(pixelsPerInch);
    std::strcpy(font.lfFaceName, "Segoe UI");
    return CreateFontIndirectA(&font);
}

Options ParseCommandLine() {
    // Parsed from a copy: the trimmed text must not change what GetCommandLineA returns.
    const char* processLine = GetCommandLineA();
    std::vector<char> commandLine(processLine, processLine + std::strlen(processLine) + 1);
    return ParseCommandLineText(commandLine.data());
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Before anything else can load a library: never from the program's own folder.
    RestrictLibrarySearch();
    LoadCommonControls();
    const char* commandLine = GetCommandLineA();

    // Start-up's window objects live until the message loop ends.
    HBRUSH background = CreateSolidBrush(RGB(0, 0, 255)); // "Install" and "Label Class"
    HFONT dialogFont = CreateDialogFont();
    RegisterWindowClasses(instance, background);

    RotateInstallLog();
    RotateAdminLog();
    SetTransportStallLimit(TimeLimitMs("KLV_TEST_STALL_MS", kDefaultStallLimitMs));

    if (IsHelperCommandLine(commandLine)) {
        SetBoxPolicy(UnattendedBoxTimeoutMs(), ReportBoxOfHelper);
        WriteInstallLogText(commandLine);
        loadWinsockLibrary();
        const int exitCode = RunInstallAdminProcess(instance);
        ShowMissingEntry();
        DeleteObject(background);
        DeleteObject(dialogFont);
        return exitCode;
    }

    const Options options = ParseCommandLine();
    SetBoxPolicy(options.UserInteraction ? 0 : UnattendedBoxTimeoutMs(), ReportBoxOfRun);
    // Files received into the -D folder are kept from links as those of the product's folders.
    char localFolder[MAX_PATH * 2];
    const DWORD n =
        GetFullPathNameA(options.OptionLocalFolder, sizeof localFolder, localFolder, nullptr);
    if (options.OptionLocalFolder[0] != '\0' && n > 0 && n < sizeof localFolder)
        AddGuardedFolder(localFolder);

    RECT workArea{};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);

    loadWinsockLibrary();

    MainWindow main(options);
    main.dialogFont = dialogFont;
    main.showStatusLabel = ShowStatusLabel;
    main.prepareProductFolders = PrepareProductFolders;
    ReceivedFileWork receivedFile;
    main.completedFile = &receivedFile;
    main.destinationAllowed = ReceivedFileMayGoTo;
    HWND window =
        CreateWindowExA(0, "Install", MainWindowTitle(options), kMainWindowStyle, workArea.left,
                        workArea.top, workArea.right - workArea.left,
                        workArea.bottom - workArea.top, nullptr, nullptr, instance, &main);
    ShowWindow(window, SW_SHOW);
    if (!options.UserInteraction)
        ShowWindow(window, SW_HIDE);
    else
        UpdateWindow(window);

    MSG message{};
    // GetMessageA returns -1 on failure: that ends the loop too instead of spinning on it.
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }

    EndTransferTiming(main.timing); // also after a quit that did not go through EndSession
    ShowMissingEntry();
    WriteRunResult(kRunResultFile, RunModeText(options).c_str());
    // The window may outlive the loop (a quit without WM_DESTROY): it must not reach main.
    if (IsWindow(window))
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    DeleteObject(background);
    DeleteObject(dialogFont);
    return static_cast<int>(message.wParam);
}
