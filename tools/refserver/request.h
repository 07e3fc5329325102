// What a client asks the reference server for: the mode command, the paths it names, and
// the upload it sends. No sockets in here.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace refsrv {

enum class RequestKind { Download, List, Push, Unknown };

struct Request {
    RequestKind kind = RequestKind::Unknown;
    std::string name;         // the -F text (server folder and file name), may be empty
    bool removeAfter = false; // " -X": the client asks that the file be removed afterwards
};

// "-EFTPMODE", "-EFTPMODE -F<name>", "-EFTPPUSHMODE", "-EFTPPUSHMODE -F<name>", each
// optionally followed by " -X".
Request ParseRequest(const std::string& command);

// Folder whose files are offered: ROOT/usr/orvane/klvtransfer.
std::filesystem::path TransferFolder(const std::filesystem::path& root);
// Folder that receives uploads, apart from everything offered: ROOT/usr/orvane/incoming.
std::filesystem::path IncomingFolder(const std::filesystem::path& root);

// The file a name stands for: names starting with "/" are taken from the root
// ("/usr/orvane/bin/Setup.exe" is ROOT/usr/orvane/bin/Setup.exe), other names from the
// transfer folder. Empty when the name would leave the root (".." parts, links pointing out).
std::optional<std::filesystem::path> ResolveServedPath(const std::filesystem::path& root,
                                                       const std::string& name);

// True when `resolved` (a result of ResolveServedPath) lies in the transfer folder: the only
// files " -X" may remove.
bool InTransferFolder(const std::filesystem::path& root, const std::filesystem::path& resolved);

// Regular files of the transfer folder, sorted by name.
std::vector<std::string> OfferedFiles(const std::filesystem::path& root);

// A plain file name for an upload (no folder separator, drive colon or control byte, not "."
// or ".."); empty when unusable.
std::optional<std::string> UploadFileName(const std::string& name);

// Follows an upload through the client's PUSH_DATA messages: the name message (0x11, name, 0),
// then data messages of up to 1100 content bytes, each handed out as Piece() right after the
// Take that accepted it (nothing is kept). A data message shorter than 1100 bytes
// ends the upload; after full pieces only, the message 0x11 "DONE" 0 ends it instead. (The
// two cannot be told apart when a file's last 5 bytes after full pieces are "DONE" and a
// zero: such a tail is read as the end mark, as the client's protocol implies.)
class UploadAssembler {
  public:
    enum class Step { NeedMore, Done, Invalid };
    Step Take(const std::string& payload);
    bool HaveName() const { return haveName_; }
    const std::string& Name() const { return name_; }
    const std::string& Piece() const { return piece_; } // content of the last data message
    std::uint64_t Bytes() const { return bytes_; }      // content bytes so far
    std::size_t DataMessages() const { return dataMessages_; }

  private:
    bool haveName_ = false;
    bool done_ = false;
    std::string name_;
    std::string piece_;
    std::uint64_t bytes_ = 0;
    std::size_t dataMessages_ = 0;
};

} // namespace refsrv
