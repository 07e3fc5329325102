// Frame input and output over a connected TCP socket for the reference server and the
// scriptable test server. Frames are built by the product's own transport (the frame
// SendMessageWithSize writes) and unwrapped by its own step (check value, decryption,
// decompression: UnwrapMessage, as KLVrecv calls it), so what goes out and what is recorded is
// exactly what the product produces and accepts. Every wait is bounded by a deadline.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace refsrv {

// Largest message a channel takes by default, before and after decompression.
constexpr std::size_t kDefaultMessageLimit = 256 * 1024 * 1024;

// One frame as read from the stream.
struct Frame {
    int compressed = 0;
    int protection = 0;
    std::int32_t bodyLength = 0;
    std::string raw;        // header and body exactly as received (the header alone when over)
    std::string payload;    // as KLVrecv delivers it (verified, decrypted, decompressed)
    bool decoded = false;   // false when the frame was refused (check value, or over the limit)
    bool overLimit = false; // body or decompressed payload longer than the channel's limit
};

// Loads and starts the socket layer once per process (native back end).
void EnsureTransportStarted();

// The exact bytes SendMessageWithSize writes for this payload and these options
// (empty when it writes nothing, as for an empty payload).
std::string BuildFrame(const std::string& payload, int options);
// Decodes one whole raw frame the way KLVrecv does (check value, decryption, decompression),
// inflating at most maxLength bytes; false when KLVrecv would fail or the limit is passed
// (*overLimit then says which).
bool DecodeFrame(const std::string& raw, std::string* payload,
                 std::size_t maxLength = kDefaultMessageLimit, bool* overLimit = nullptr);

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
    // Frames whose body or decompressed payload would pass `bytes` are refused while they are
    // read (Read delivers a frame marked overLimit and the channel takes nothing more).
    void SetMessageLimit(std::size_t bytes) { messageLimit_ = bytes; }

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
    std::size_t messageLimit_ = kDefaultMessageLimit;
    std::string pending_;
};

std::int64_t NowMs();

} // namespace refsrv
