// Frame input and output over a connected TCP socket for the reference server and the
// scriptable test server. Frames are built and decoded by the product's own transport
// (SendMessageWithSize and KLVrecv, POSIX back end), so what goes out and what is recorded
// is exactly what the product produces and accepts. Every wait is bounded by a deadline.
#pragma once
#include <cstdint>
#include <string>

namespace refsrv {

// One frame as read from the stream.
struct Frame {
    int compressed = 0;
    int protection = 0;
    std::int32_t bodyLength = 0;
    std::string raw;      // header and body exactly as received
    std::string payload;  // as KLVrecv delivers it (verified, decrypted, decompressed)
    bool decoded = false; // false when KLVrecv refused the frame (check value)
};

// Loads and starts the socket layer once per process (native back end).
void EnsureTransportStarted();

// The exact bytes SendMessageWithSize writes for this payload and these options
// (empty when it writes nothing, as for an empty payload).
std::string BuildFrame(const std::string& payload, int options);
// Decodes one whole raw frame through KLVrecv; false when KLVrecv fails.
bool DecodeFrame(const std::string& raw, std::string* payload);

// Listening socket on address:port (port 0 picks a free one); -1 on failure.
int ListenOn(const std::string& address, std::uint16_t port, int backlog, std::uint16_t* boundPort);
// Next connection within timeoutMs (-1 waits without limit); -1 on timeout or error.
int AcceptWithin(int listenFd, int timeoutMs);
// "a.b.c.d:port" of the peer.
std::string PeerName(int fd);

enum class ReadStatus { Frame, Timeout, Closed };

// A connected socket with the bytes read ahead of the next frame.
class FrameChannel {
  public:
    FrameChannel() = default;
    explicit FrameChannel(int fd) : fd_(fd) {}
    ~FrameChannel();
    FrameChannel(const FrameChannel&) = delete;
    FrameChannel& operator=(const FrameChannel&) = delete;

    void Reset(int fd); // closes the current socket, takes fd
    void Close();
    int fd() const { return fd_; }
    bool Open() const { return fd_ >= 0 && !peerClosed_; }
    bool PeerClosed() const { return peerClosed_; }

    // Reads one whole frame (a frame cut off by the timeout is kept for the next call).
    ReadStatus Read(int timeoutMs, Frame* frame);
    // Writes all bytes within timeoutMs.
    bool WriteAll(const std::string& bytes, int timeoutMs);
    // Builds the frame with SendMessageWithSize and writes it.
    bool SendPayload(const std::string& payload, int options, int timeoutMs);

  private:
    // Ensures `count` bytes are buffered; Timeout or Closed otherwise.
    ReadStatus Fill(std::size_t count, std::int64_t deadlineMs);

    int fd_ = -1;
    bool peerClosed_ = false;
    std::string pending_;
};

std::int64_t NowMs();

} // namespace refsrv
