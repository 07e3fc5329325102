// A finished reception, from its last piece to its start: one held file, each step on its
// handle. Hold, then the "Everyone" grant on the handle, then Install.log's line, then the checks
// (same bytes, the kind of file, the signed-programs policy) and the start of the file held.
// Every step returns its outcome; the caller reports it and ends its run or its session.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "base/file_digest.h"
#include "base/options.h"
#include "install/held_file_win.h"
#include "install/received_pipeline.h"

struct ReceivedFile {
    const char* path;
    FileDigest digest;
    const char* line; // Install.log's line naming it and its digest
};

class ReceivedFilePipeline {
  public:
    explicit ReceivedFilePipeline(const Options& options) : options_(options) {}

    // Hold, grant, log. A file that cannot be held (a link on its way, removed, opened for
    // writing elsewhere) fails as "Unable to run <path>": nothing is granted or logged.
    Outcome Take(const ReceivedFile& file);
    // Moves the held file to `to` (an existing file there is kept) and holds what is there
    // from then on: compared with the pieces when the move happened, not when a file was kept.
    void MoveTo(const char* to);
    // Setup mode: the held file, checked and started with the setup arguments.
    Outcome StartSetup(const std::function<void()>& closeConnection);
    // Download mode: a program or a package, each by its kind (NothingToStart for any other),
    // named by the path it was taken or moved to.
    Outcome StartReceived(const std::function<void()>& closeConnection);

  private:
    const Options& options_;
    HeldFile held_;
    std::string path_; // where the file was taken, or moved to
    FileDigest digest_{};
    bool compare_ = true;
};

// The administrator's AllowedDestinations, read once per run; unset allows every path.
bool ReceivedFileMayGoTo(const char* path);
