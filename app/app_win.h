// Win32 start-up helpers and the status label.
#pragma once
#include <windows.h>

#include <memory>

#include "base/options.h"
#include "install/received_pipeline_win.h"
#include "ui/session_win.h"

// With repaintOnly's lowest bit clear, replaces the label on `window` (the main window) by a
// new one showing text; with it set, `window` is the label and the text is drawn again.
int ShowStatusLabel(const char* text, HWND window, int repaintOnly);
LRESULT CALLBACK LabelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Start-up helpers.
HFONT CreateDialogFont();
// The options given by a copy of the process command line.
Options ParseCommandLine();

// The main window's work on the machine (received_file_win.cpp): the product's folders created
// and granted at start-up; the hold, grant, log line, move and starts of a complete file.
void PrepareProductFolders();
class ReceivedFileWork : public CompletedFileWork {
  public:
    StepOutcome Take(MainWindow& main, Session& session) override;
    StepOutcome StartReceived(MainWindow& main) override;

  private:
    // The complete file, held from its last piece to the end of the run.
    std::unique_ptr<ReceivedFilePipeline> pipeline_;
    Session* session_ = nullptr; // the session that received it
};
