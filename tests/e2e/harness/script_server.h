// A scriptable peer on 127.0.0.1 for end-to-end tests, built on the product's own transport
// (native back end). It plays the file-transfer server (port 11001) or the AdminService
// (port 13021): it accepts one client at a time, sends any payload or raw bytes, reads whole
// frames and records everything it received. Every wait is bounded.
#pragma once
#include "session/protocol.h"
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace refsrv {
class FrameChannel;
}

namespace e2e {

struct ReceivedFrame {
    int compressed = 0;
    int protection = 0;
    std::int32_t bodyLength = 0;
    std::string payload; // as the transport delivers it (verified, decrypted, decompressed)
    std::string raw;     // the frame's bytes exactly as they arrived (header and body)
    bool decoded = true; // false when the transport refused the frame (check value)
};

class ScriptServer {
  public:
    // Listens at once on 127.0.0.1; backlog lets tests fill the queue to make connects hang.
    // Port 0 picks a free port (see Port()). Throws std::runtime_error when it cannot listen.
    explicit ScriptServer(std::uint16_t port = 11001, int backlog = 8);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    std::uint16_t Port() const { return port_; }
    bool Accept(int timeoutMs); // next client (the previous one is closed); false on timeout
    bool Connected() const;     // a client is accepted and has not closed its end

    // One frame, built exactly as SendMessageWithSize builds it with these send options.
    bool Send(const std::string& payload, int options = 0x002 /* SEND_NOCOMPRESS */);
    // A server message: the type byte followed by the text.
    bool SendType(int type, const std::string& text, int options = 0x002);
    bool SendRaw(const std::string& bytes);
    // The exact frame bytes Send would write (for tests that cut a frame short).
    static std::string Frame(const std::string& payload, int options = 0x002);
    // Sends bytes in chunks of `chunk` with `delayMs` between them.
    bool SendRawSlowly(const std::string& bytes, std::size_t chunk, int delayMs);

    // Next whole frame from the client, also kept in Received(); nullopt on timeout or when the
    // client closed. A frame cut off by the timeout is completed by the next call.
    std::optional<ReceivedFrame> Receive(int timeoutMs);
    std::optional<std::string> ReceivePayload(int timeoutMs);
    // True once the client's end is closed (EOF or reset); frames arriving meanwhile are kept.
    bool WaitClientClosed(int timeoutMs);
    void CloseClient();
    // Closes the client's connection abortively: the client sees a reset, not an orderly end.
    void ResetClient();

    // Serves a whole file the way the reference server does: FILE_SIZE, FILE_DESTINATION,
    // then DATA_SIZE / FILE_DATA pieces, each waiting for "NO NEED TO ARGUE".
    // Returns the number of acknowledgements received (== number of pieces on success). An
    // empty file still gets one empty piece. Every message uses `options`.
    int ServeFile(const std::string& content, const std::string& destination, std::size_t pieceSize,
                  int options = 0x002, int ackTimeoutMs = 20000);

    const std::vector<ReceivedFrame>& Received() const { return received_; }

    // Number of pieces ServeFile sends for a file of `size` bytes.
    static std::size_t PieceCount(std::size_t size, std::size_t pieceSize);

  private:
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::unique_ptr<refsrv::FrameChannel> client_;
    std::vector<ReceivedFrame> received_;
};

// The reference server (tools/refserver) run as its own process for a test: started on
// 127.0.0.1:port with the given root and options, its log lines written to a file, stopped
// by its process id (SIGTERM, then SIGKILL after a bounded wait).
class RefServerProcess {
  public:
    RefServerProcess(const std::string& program, const std::string& root,
                     const std::vector<std::string>& options = {}, std::uint16_t port = 11001);
    ~RefServerProcess();
    RefServerProcess(const RefServerProcess&) = delete;
    RefServerProcess& operator=(const RefServerProcess&) = delete;

    bool WaitReady(int timeoutMs); // true once it listens
    // Waits until the log holds `lines` request lines (after the "listening" line).
    bool WaitForRequests(std::size_t lines, int timeoutMs);
    std::vector<std::string> LogLines() const;
    void Stop();

  private:
    int pid_ = -1;
    std::string logPath_;
};

// Server buffer types, as the product names them.
using ::DATA_SIZE;
using ::FILE_DATA;
using ::FILE_DESTINATION;
using ::FILE_NAME;
using ::FILE_SIZE;
using ::PUSH_REQUEST;
using ::SERVER_ERROR;

} // namespace e2e
