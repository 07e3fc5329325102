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
    std::string payload; // as the transport delivers it (verified, decrypted, decompressed)
    std::string raw;     // the frame's bytes exactly as they arrived (header and body)
};

class ScriptServer {
  public:
    // Listens at once on 127.0.0.1 (throws when it cannot); backlog 0 lets a test fill the
    // queue so that further connects hang.
    explicit ScriptServer(std::uint16_t port = 11001, int backlog = 8);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    bool Accept(int timeoutMs); // next client (the previous one is closed); false on timeout
    // A server message (the type byte, then the text), framed with these send options.
    bool SendType(int type, const std::string& text, int options = 0x002 /* SEND_NOCOMPRESS */);
    bool SendRaw(const std::string& bytes);
    static std::string Frame(const std::string& payload, int options = 0x002);

    // Next whole frame from the client, also kept in Received(); nullopt on timeout or when the
    // client closed. A frame cut off by the timeout is completed by the next call.
    std::optional<ReceivedFrame> Receive(int timeoutMs);
    std::optional<std::string> ReceivePayload(int timeoutMs);
    // True once the client's end is closed (EOF or reset); frames arriving meanwhile are kept.
    bool WaitClientClosed(int timeoutMs);
    void CloseClient();
    void ResetClient(); // closes with a reset (RST) instead of an orderly close

    // Serves a whole file the way the reference server does: FILE_SIZE, FILE_DESTINATION, then
    // DATA_SIZE / FILE_DATA pieces, each waiting for "NO NEED TO ARGUE"; the number of
    // acknowledgements received. An empty file still gets one empty piece.
    int ServeFile(const std::string& content, const std::string& destination, std::size_t pieceSize,
                  int options = 0x002, int ackTimeoutMs = 20000);

    const std::vector<ReceivedFrame>& Received() const { return received_; }

  private:
    int listenFd_ = -1;
    std::unique_ptr<refsrv::FrameChannel> client_;
    std::vector<ReceivedFrame> received_;
};

} // namespace e2e
