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

struct MessageBuffer {
    std::int32_t capacity;
    std::int32_t length;
    unsigned char* data;
};

// A fresh buffer: capacity 4, length 0, a 4-byte block. Returns false when it cannot allocate.
bool InitMessageBuffer(MessageBuffer* buffer);
void FreeMessageBuffer(MessageBuffer* buffer);

int SendMessageWithSize(KlvSocket s, unsigned char* payload, std::int32_t length, int options);
int SendMessageString(KlvSocket s, const char* text, int options);
int KLVrecv(KlvSocket s, MessageBuffer* buffer);

int PopMessageByte(MessageBuffer* buffer);
int PopMessageInt(MessageBuffer* buffer);
// Copies the field up to the first 0x01 (cut to outSize - 1 characters); removes the whole field.
int PopMessageString(MessageBuffer* buffer, char* out, std::size_t outSize);

bool CompressMessage(unsigned char* payload, std::int32_t* length);
