#include "transport/frame_stream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "platform/byte_order.h"
#include "transport/framing.h"

bool ReceiveFrameStream(const unsigned char* bytes, std::size_t size,
                        const std::function<void(const StreamFrame&)>& onFrame, int* failedIndex) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        if (failedIndex)
            *failedIndex = 0;
        return false;
    }
    // The writer hands the bytes over and then ends the stream, as a peer closing would.
    std::thread writer([&] {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::send(pair[1], bytes + done, size - done, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        ::shutdown(pair[1], SHUT_WR);
    });
    const KlvSocket reader = static_cast<KlvSocket>(pair[0]);
    std::size_t position = 0;
    int index = 0;
    bool whole = true;
    MessageBuffer buffer;
    if (!InitMessageBuffer(&buffer))
        whole = false;
    while (whole && position < size) {
        if (size - position < static_cast<std::size_t>(kFrameHeaderSize)) {
            whole = false; // the receive would wait for the rest of the header and fail
            break;
        }
        const unsigned char* header = bytes + position;
        const std::int32_t bodyLength = static_cast<std::int32_t>(LoadLe32(header + 2));
        if (KLVrecv(reader, &buffer) != 1) {
            whole = false;
            break;
        }
        StreamFrame frame{index, header[0], header[1], bodyLength, buffer.data, buffer.length};
        onFrame(frame);
        position += kFrameHeaderSize;
        if (bodyLength > 0)
            position += static_cast<std::size_t>(bodyLength);
        ++index;
    }
    // Unblock the writer if the reader stopped early.
    ::shutdown(pair[0], SHUT_RDWR);
    writer.join();
    ::close(pair[0]);
    ::close(pair[1]);
    FreeMessageBuffer(&buffer);
    if (!whole && failedIndex)
        *failedIndex = index;
    return whole;
}
