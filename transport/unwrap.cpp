// The last step of taking a frame in: from the body as it came off the wire to the payload.
#include <cstddef>

#include "transport/framing.h"
#include "transport/protection.h"

Unwrapped UnwrapMessage(MessageBuffer* buffer, int compressed, int protection,
                        std::int64_t maxLength, MessageBuffer* inflateBlock) {
    Unwrapped result = Unwrapped::Payload;
    if (protection != PROT_NONE) {
        const int r =
            UnprotectMessage(buffer->data, static_cast<std::size_t>(buffer->length), protection);
        if (protection & PROT_AES_CHECK) {
            if (r != 0)
                result = Unwrapped::CheckFailed;
            else
                buffer->length -= kCheckValueSize;
        }
    }
    if (result == Unwrapped::Payload && compressed != 0) {
        MessageBuffer fresh{0, 0, nullptr};
        if (!UncompressIntoBlock(buffer, inflateBlock ? inflateBlock : &fresh, maxLength))
            result = Unwrapped::InflateRefused;
        FreeMessageBuffer(&fresh);
    }
    if (result != Unwrapped::Payload)
        buffer->length = 0;
    buffer->data[buffer->length] = 0;
    return result;
}
