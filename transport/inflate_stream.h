// zlib inflation into a block kept between messages, fed as the compressed bytes come: the
// whole-message decompression (UncompressIntoBlock) and the streamed receive share it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "transport/framing.h"

typedef struct z_stream_s z_stream;

// Begin, Feed the bytes in order (any split gives the same result), Finish. One inflater at a
// time per thread that calls Begin; Feed may run on another thread while Begin's thread waits.
class BlockInflater {
  public:
    // inputLength (all the bytes that will be fed) sizes the first guess of the block.
    bool Begin(MessageBuffer* into, std::size_t inputLength, std::int64_t maxLength);
    // False once the result would pass maxLength or memory ran out (then it stays false).
    bool Feed(const unsigned char* in, std::size_t length);
    // As UncompressIntoBlock: when the result is longer than buffer->length the blocks trade
    // places. False when refused.
    bool Finish(MessageBuffer* buffer);

  private:
    bool Refuse() {
        refused_ = true;
        return false;
    }
    z_stream* stream_ = nullptr;
    MessageBuffer* into_ = nullptr;
    std::size_t room_ = 0, total_ = 0, ceiling_ = 0, maxLength_ = 0;
    bool ended_ = false, refused_ = false;
};
