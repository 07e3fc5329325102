// A scriptable peer on 127.0.0.1 on the reference server's frame channel, playing the server
// (port 11001) or the AdminService (port 13021): one client at a time, messages or raw bytes
// sent, whole frames read and recorded. Every wait is bounded.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "session/protocol.h"
#include "tools/refserver/frame_io.h"
#include "tools/refserver/serve.h"

namespace e2e {

using ReceivedFrame = refsrv::Frame;

class ScriptServer {
  public:
    // Listens at once (throws when it cannot); with backlog 0 a full queue makes connects hang.
    explicit ScriptServer(std::uint16_t port = 11001, int backlog = 8);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    bool Accept(int timeoutMs); // next client (the previous one is closed); false on timeout
    // A server message (the type byte, then the text), framed with these send options.
    bool SendType(int type, const std::string& text, int options = 0x002 /* SEND_NOCOMPRESS */) {
        return refsrv::SendTyped(client_, type, text, options, 20000);
    }
    bool SendRaw(const std::string& bytes) { return client_.WriteAll(bytes, 20000); }
    static std::string Frame(const std::string& payload) {
        return refsrv::BuildFrame(payload, 0x002);
    }
    // Next whole frame, also kept in Received(); nullopt on timeout or close (a frame cut off by
    // the timeout is completed by the next call).
    std::optional<refsrv::Frame> Receive(int timeoutMs);
    std::optional<std::string> ReceivePayload(int timeoutMs) {
        const std::optional<refsrv::Frame> frame = Receive(timeoutMs);
        return frame ? std::optional<std::string>(frame->payload) : std::nullopt;
    }
    // True once the client's end is closed (EOF or reset); frames arriving meanwhile are kept.
    bool WaitClientClosed(int timeoutMs);
    void CloseClient() { client_.Close(); }
    void ResetClient(); // closes with a reset (RST) instead of an orderly close
    const std::vector<refsrv::Frame>& Received() const { return received_; }

  private:
    int listenFd_ = -1;
    refsrv::FrameChannel client_;
    std::vector<refsrv::Frame> received_;
};

} // namespace e2e
