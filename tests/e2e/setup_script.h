// The setup table's server script: its steps and actions, the files and frames it serves, and
// the Install.result a run leaves.
#pragma once
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/session_test.h"
#include "tests/support/bytes.h"

namespace e2e {

// Install.result, its time stamp ("YYYY-MM-DD hh:mm:ss") shown as <time>.
inline std::string Result() {
    std::string text = ReadFile("C:\\orvane\\bin\\Install.result");
    const std::size_t tab = text.find('\t');
    if (tab != std::string::npos && text.size() > tab + 20 && text[tab + 20] == '\t')
        text.replace(tab + 1, 19, "<time>");
    return text;
}

// Numbered text lines: what zlib shrinks well, for a server that compresses.
inline std::string Compressible(std::size_t size) {
    std::string s;
    for (unsigned line = 0; s.size() < size; ++line)
        s += "line " + std::to_string(line) + " of a setup program that compresses well\r\n";
    return s.substr(0, size);
}

// A server script step: a message of a type, or one of these actions.
enum Action {
    kWaitAck = -1,
    kRaw = -2,
    kClose = -3,
    kReset = -4,
    kServe = -7,        // a whole file (text: where it must land), with one of these contents:
    kServeAes = -8,     // AES-checked messages
    kServeZip = -9,     // compressible, compressed where that helps and Blowfish-protected
    kServeText = -10,   // a file that does not start like a program
    kRepeat = -11,      // these bytes 20 times a second until the run ends
    kEmptyPieces = -12, // empty pieces, each acknowledged, until the run ends
    kTrickle = -13,     // these bytes one a second until the run ends
    kHostAction = -14   // the row's action on the host's files, done at this point
};
using Steps = std::vector<std::pair<int, std::string>>;

inline Steps Then(Steps first, const Steps& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// A transfer folder swapped while a file there is open: moved aside to kMovedTransfer, and a link
// to C:\elsewhere, where a decoy of the file's name lies, put in its place.
const std::string kMovedTransfer = "C:\\klv\\moved\\", kDecoy = "C:\\elsewhere\\Setup.exe";
inline unsigned PlaceDecoy(const std::string& bytes) { // the decoy's mode
    std::filesystem::remove_all(HostPath("C:\\elsewhere"));
    WriteFile(kDecoy, bytes);
    return FileMode(kDecoy);
}
inline void SwapTransferFolder() {
    std::filesystem::rename(HostPath(kTransfer), HostPath(kMovedTransfer));
    std::filesystem::create_directory_symlink(HostPath("C:\\elsewhere"),
                                              HostPath("C:\\klv\\transfer"));
}

// One 1 MB frame whose FILE_DATA payload inflates to 1 GiB.
inline std::string BombFrame() {
    z_stream stream{};
    deflateInit(&stream, Z_BEST_COMPRESSION);
    std::string zeros(1 << 20, '\0'), body(1 << 21, '\0');
    stream.next_out = reinterpret_cast<Bytef*>(&body[0]);
    stream.avail_out = static_cast<uInt>(body.size());
    zeros[0] = FILE_DATA;
    for (int chunk = 0; chunk < 1024; ++chunk, zeros[0] = '\0') {
        stream.next_in = reinterpret_cast<Bytef*>(&zeros[0]);
        stream.avail_in = static_cast<uInt>(zeros.size());
        deflate(&stream, chunk == 1023 ? Z_FINISH : Z_NO_FLUSH);
    }
    body.resize(body.size() - stream.avail_out);
    deflateEnd(&stream);
    return std::string{1, 0} + testbytes::Le32(static_cast<std::uint32_t>(body.size())) + body;
}

} // namespace e2e
