// Serving one file over a connection, the way the file-transfer server does: FILE_SIZE,
// FILE_DESTINATION, then DATA_SIZE / FILE_DATA pieces, each acknowledged by the client with
// "NO NEED TO ARGUE" before the next one goes out.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "tools/refserver/frame_io.h"

namespace refsrv {

// Server buffer types and the client's fixed texts.
constexpr int kFileSize = 1;
constexpr int kServerError = 2;
constexpr int kFileDestination = 3;
constexpr int kFileData = 4;
constexpr int kDataSize = 5;
constexpr int kFileName = 6;
constexpr int kPushRequest = 7;
constexpr unsigned char kPushData = 0x11;
constexpr std::size_t kUploadPieceSize = 1100;
extern const char kDataAck[];            // "NO NEED TO ARGUE"
extern const char kEndOfList[];          // "NoMore"
extern const char kDefaultDestination[]; // "C:\klv\transfer\"

// The frames built for FILE_DATA pieces, reused when the same piece is served again with the
// same send options, up to a bound (benchmarks: keeps the server's compression, encryption and
// check value of a piece out of every transfer but the first). Shared by the connections of one
// server.
class PieceFrames {
  public:
    // The frame of `payload` sent with `options`, built now or before.
    std::string FrameOf(const std::string& payload, int options);

  private:
    static constexpr std::size_t kBound = std::size_t{768} << 20; // payloads and frames held
    std::mutex lock_;
    std::unordered_map<std::string, std::string> frames_; // payload -> frame, for options_
    int options_ = -1;
    std::size_t held_ = 0;
};

struct ServeOptions {
    std::string destination = kDefaultDestination;
    std::size_t pieceSize = 64 * 1024;
    int sendOptions = 0x002;            // SEND_NOCOMPRESS
    int timeoutMs = 60000;              // for every send and for each acknowledgement
    PieceFrames* pieceFrames = nullptr; // reuse of built FILE_DATA frames, or none
};

// Sizes of the FILE_DATA pieces for a file of `size` bytes: full pieces, then the rest;
// an empty file still gets one empty piece (the client completes it at the first FILE_DATA).
std::vector<std::size_t> PiecePlan(std::size_t size, std::size_t pieceSize);

// A server message: the type byte followed by the text.
bool SendTyped(FrameChannel& channel, int type, const std::string& text, int options,
               int timeoutMs);

struct ServeResult {
    std::size_t piecesSent = 0;
    std::size_t acks = 0;
    bool complete = false; // every piece sent and acknowledged
    std::string failure;   // why it stopped early
};

using FrameObserver = std::function<void(const Frame&)>;
// Puts `count` bytes from `offset` of what is served into *out; false when it cannot.
using PieceReader = std::function<bool(std::uint64_t offset, std::size_t count, std::string* out)>;

// Serves `size` bytes taken piece by piece from `read` (only one piece is held at a time);
// every frame read from the client is passed to `observer`.
ServeResult ServeSource(FrameChannel& channel, std::uint64_t size, const PieceReader& read,
                        const ServeOptions& options, const FrameObserver& observer = {});
// Serves `content`.
ServeResult ServeContent(FrameChannel& channel, const std::string& content,
                         const ServeOptions& options, const FrameObserver& observer = {});

} // namespace refsrv
