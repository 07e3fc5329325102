// Message framing on a TCP stream: 6-byte header, optional zlib compression and protection.
#pragma once
#include <cstdint>
#include <cstddef>
#include "transport/klv_socket.h"

constexpr int SEND_QUIET = 0x001;
constexpr int SEND_NOCOMPRESS = 0x002;
constexpr int SEND_BLOWFISH = 0x040;
constexpr int SEND_AES = 0x080;
constexpr int SEND_AES_CHECK = 0x100;

constexpr int PROT_NONE = 0;
constexpr int PROT_BLOWFISH = 1;
constexpr int PROT_AES = 2;
constexpr int PROT_AES_CHECK = 4;

constexpr int POP_EMPTY = -100;
constexpr std::int32_t KEEPALIVE_LENGTH = -11001;
constexpr int kFrameHeaderSize = 6;
constexpr int kCheckValueSize = 32;

// Largest message a receive delivers after decompression.
constexpr std::int64_t kMaxMessageLength = 2147483647;
// A frame that makes no progress for this long fails as a lost connection (10060).
constexpr int kDefaultStallLimitMs = 60000;

// The data block is a malloc block: KLVrecv may enlarge or replace it.
struct MessageBuffer {
    std::int32_t capacity;
    std::int32_t length;
    unsigned char* data;
};

// A fresh buffer: capacity 4, length 0, a 4-byte block. Returns false when it cannot allocate.
bool InitMessageBuffer(MessageBuffer* buffer);
void FreeMessageBuffer(MessageBuffer* buffer);
// A block worth keeping for the next message (64 KiB to 4 MiB). Under Wine a block of a
// megabyte is a fresh mapping every time it is allocated, faulted in page by page while the body
// arrives and unmapped when it is freed; a reader of many large messages keeps its last block
// and hands it to KLVrecv again, which uses a block that is large enough as it is.
bool WorthKeeping(const MessageBuffer& buffer);

struct TransportError;
// 1 when the whole frame was handed to the socket (or there was nothing to send); 0 when the
// send failed or there is no socket (0). Unless SEND_QUIET, a failed send's "WinSock Error"
// goes to *error when given; the transport itself shows nothing.
int SendMessageWithSize(KlvSocket s, unsigned char* payload, std::int32_t length, int options,
                        TransportError* error = nullptr);
int SendMessageString(KlvSocket s, const char* text, int options, TransportError* error = nullptr);
// One message into buffer: 1 (an empty message when nothing was waiting), 0 when the connection
// failed or the frame is corrupt. A frame whose body or decompressed payload would pass
// maxLength bytes is refused like a corrupt one, before its payload is inflated beyond that.
// A compressed payload is inflated into *inflateBlock when one is given (see
// UncompressIntoBlock: a reader of many messages keeps it beside its read block), otherwise
// into a fresh block.
int KLVrecv(KlvSocket s, MessageBuffer* buffer, std::int64_t maxLength = kMaxMessageLength,
            MessageBuffer* inflateBlock = nullptr);
// As KLVrecv, but a frame whose body is over maxLength (within the transport's own limit) is read
// past and dropped: 1 with an empty message, as for a keep-alive, and the connection reads on.
int KLVrecvDroppingLong(KlvSocket s, MessageBuffer* buffer, std::int64_t maxLength);

// What the unwrap step made of a received body.
enum class Unwrapped {
    Payload,        // the payload is in the buffer
    CheckFailed,    // the check value did not verify
    InflateRefused, // the payload would inflate past maxLength bytes, or memory ran out
};
// The unwrap step of a receive, as the frame's header bytes say: check value and decryption
// (protection), then decompression (compressed) into *inflateBlock as KLVrecv does. buffer holds
// the body (buffer->length bytes, in a block with room for a zero after them); afterwards it
// holds the payload followed by a zero, or is empty when the result is not Payload.
Unwrapped UnwrapMessage(MessageBuffer* buffer, int compressed, int protection,
                        std::int64_t maxLength, MessageBuffer* inflateBlock);

int PopMessageByte(MessageBuffer* buffer);
int PopMessageInt(MessageBuffer* buffer);
// Copies the field up to the first 0x01 (cut to outSize - 1 characters); removes the whole field.
int PopMessageString(MessageBuffer* buffer, char* out, std::size_t outSize);

bool CompressMessage(unsigned char* payload, std::int32_t* length);

// Decompresses *data (a malloc block of *length bytes, zlib format). When the result is longer
// than the input, *data is replaced by a block of *length + 1 bytes holding it; otherwise (not
// a zlib stream, or not longer) the input stays. Returns false only when the result would pass
// maxLength bytes or memory ran out; *data and *length are then unchanged.
bool UncompressMessageWithLimit(unsigned char** data, std::int32_t* length, std::int64_t maxLength);
// Inflates the zlib payload of *buffer into *into, a block kept between messages (empty at
// first): it is used as it is when large enough, grown only when not, and never fitted. When the
// result is longer than the input the two blocks trade places: *buffer holds the result (with
// room for a zero after it) and *into the input's block, for the next message. Otherwise (not a
// zlib stream, or not longer) *buffer stays. Returns false only when the result would pass
// maxLength bytes or memory ran out; *buffer is then unchanged, *into may have grown.
bool UncompressIntoBlock(MessageBuffer* buffer, MessageBuffer* into, std::int64_t maxLength);

// The no-progress limit of sends and receives (tests shorten it); returns the previous value.
int SetTransportStallLimit(int milliseconds);
// Past this time since a frame's first byte (a send: its start), a frame whose average rate
// since that byte is under 256 bytes per second fails as a stalled one does; 0 (the start value)
// sets no such budget. Returns the previous value.
int SetTransportRateWindow(int milliseconds);
// How often sends and receives have waited for their socket so far (tests compare it).
long long TransportWaitCount();

// Where a received body's check value digest, decryption and inflation run: on the whole body
// once it is in (Whole, as a reference), between reads (the start value), or on a second
// thread. Under Wine the second thread measured slower than working between reads, on loopback
// and on a link slower than the work (each hand-over wakes a thread through the Wine server), so
// the program does not choose it; it stays a mode of its own for measuring elsewhere. Blowfish
// frames are always taken whole. Returns the previous value.
enum class ReceiveWork { Whole, BetweenReads, WorkerThread };
ReceiveWork SetReceiveWork(ReceiveWork work);
// The worker takes at most this many bytes at a time.
constexpr std::size_t kReceiveWorkStep = 64 << 10;
// Bytes of the last streamed body that had been worked on when its last byte was read.
long long LastFrameWorkedAhead();

// Builds the bytes SendMessageWithSize puts on the wire for this payload and these options,
// without sending (payload may be changed by compression as in a send). Returns false when the
// frame cannot be built; an empty payload gives an empty frame.
bool BuildFrame(unsigned char* payload, std::int32_t length, int options, unsigned char** frame,
                std::size_t* frameLength);
