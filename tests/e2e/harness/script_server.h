// A scriptable peer on 127.0.0.1 for end-to-end tests, built on the product's own transport
// (native back end). It plays the file-transfer server (port 11001) or the AdminService
// (port 13021): it accepts one client at a time, sends any payload or raw bytes, reads whole
// frames and records everything it received. Every wait is bounded.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

struct ReceivedFrame {
    int compressed = 0;
    int protection = 0;
    std::int32_t bodyLength = 0;
    std::string payload; // as the transport delivers it (verified, decrypted, decompressed)
};

class ScriptServer {
public:
    // Listens at once; backlog lets tests fill the queue to make connects hang.
    explicit ScriptServer(std::uint16_t port = 11001, int backlog = 8);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    bool Accept(int timeoutMs);   // next client; false on timeout
    bool Connected() const;

    // One frame, built exactly as SendMessageWithSize builds it with these send options.
    bool Send(const std::string& payload, int options = 0x002 /* SEND_NOCOMPRESS */);
    // A server message: the type byte followed by the text.
    bool SendType(int type, const std::string& text, int options = 0x002);
    bool SendRaw(const std::string& bytes);
    // Sends bytes in chunks of `chunk` with `delayMs` between them.
    bool SendRawSlowly(const std::string& bytes, std::size_t chunk, int delayMs);

    // Next whole frame from the client; nullopt on timeout or when the client closed.
    std::optional<ReceivedFrame> Receive(int timeoutMs);
    std::optional<std::string> ReceivePayload(int timeoutMs);
    bool WaitClientClosed(int timeoutMs); // true once the client's end is closed (EOF)
    void CloseClient();

    // Serves a whole file the way the reference server does: FILE_SIZE, FILE_DESTINATION,
    // then DATA_SIZE / FILE_DATA pieces, each waiting for "NO NEED TO ARGUE".
    // Returns the number of acknowledgements received (== number of pieces on success).
    int ServeFile(const std::string& content, const std::string& destination,
                  std::size_t pieceSize, int options = 0x002, int ackTimeoutMs = 20000);

    const std::vector<ReceivedFrame>& Received() const { return received_; }

private:
    int listenFd_ = -1;
    int clientFd_ = -1;
    std::vector<ReceivedFrame> received_;
};

// Server buffer types.
constexpr int FILE_SIZE = 1;
constexpr int SERVER_ERROR = 2;
constexpr int FILE_DESTINATION = 3;
constexpr int FILE_DATA = 4;
constexpr int DATA_SIZE = 5;
constexpr int FILE_NAME = 6;
constexpr int PUSH_REQUEST = 7;

} // namespace e2e
