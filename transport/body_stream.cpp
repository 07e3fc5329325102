#include "transport/body_stream.h"

#include <cstring>

#include "transport/protection.h"

BodyStream::BodyStream(int compressed, int protection, std::int32_t bodyLength,
                       std::int64_t maxLength, MessageBuffer* inflateBlock) {
    // The receiver decides by bits: 4 is a check value and AES, 2 is AES, any other non-zero
    // value Blowfish (taken whole, as before).
    check_ = (protection & PROT_AES_CHECK) != 0;
    aes_ = (protection & (PROT_AES | PROT_AES_CHECK)) != 0;
    const bool blowfish = protection != PROT_NONE && !aes_;
    compressed_ = compressed != 0;
    streams_ = !blowfish && (aes_ || compressed_) && bodyLength > 0;
    bodyLength_ = bodyLength > 0 ? static_cast<std::size_t>(bodyLength) : 0;
    payloadLength_ = bodyLength_;
    if (check_)
        payloadLength_ = bodyLength_ > kCheckValueSize ? bodyLength_ - kCheckValueSize : 0;
    if (!streams_)
        return;
    Sha256Init(&digest_);
    // The first guess of the inflate block follows the claimed length only up to 1 MiB: a header
    // alone never makes the receiver reserve much (the block grows as the output comes).
    const std::size_t guessInput = payloadLength_ < (1u << 20) ? payloadLength_ : (1u << 20);
    if (compressed_ && payloadLength_ > 0)
        inflating_ = inflater_.Begin(inflateBlock ? inflateBlock : &fresh_, guessInput, maxLength);
}

BodyStream::~BodyStream() {
    FreeMessageBuffer(&fresh_);
}

std::size_t BodyStream::WorkableEnd(std::size_t received) const {
    if (received >= bodyLength_)
        return payloadLength_;
    const std::size_t end = received < payloadLength_ ? received : payloadLength_;
    return end / 16 * 16;
}

void BodyStream::Work(unsigned char* body, std::size_t from, std::size_t to) {
    if (to <= from)
        return;
    unsigned char* range = body + from;
    const std::size_t length = to - from;
    if (check_)
        Sha256Update(&digest_, range, length); // the bytes as they stand in the frame
    if (aes_)
        AesCtrCryptAt(counter_, range, length);
    if (inflating_)
        inflating_ = inflater_.Feed(range, length);
}

Unwrapped BodyStream::Finish(MessageBuffer* buffer) {
    Unwrapped result = Unwrapped::Payload;
    if (check_) {
        unsigned char value[kCheckValueSize];
        Sha256Final(&digest_, value);
        CheckValueOfDigest(value);
        if (bodyLength_ <= kCheckValueSize ||
            std::memcmp(value, buffer->data + payloadLength_, kCheckValueSize) != 0)
            result = Unwrapped::CheckFailed;
        else
            buffer->length -= kCheckValueSize;
    }
    // A compressed frame with an empty payload stays empty, as a whole one does.
    if (result == Unwrapped::Payload && compressed_ && payloadLength_ > 0 &&
        !(inflating_ && inflater_.Finish(buffer)))
        result = Unwrapped::InflateRefused;
    if (result != Unwrapped::Payload)
        buffer->length = 0;
    buffer->data[buffer->length] = 0;
    return result;
}
