// The work on a received body as its bytes arrive: the check value's digest over the bytes as
// they stand in the frame, AES-128-CTR in place, and inflation into the kept block. Nothing of
// the body is handed on before Finish has compared the check value.
#pragma once
#include <cstddef>
#include <cstdint>

#include "transport/framing.h"
#include "transport/inflate_stream.h"
#include "crypto/sha256.h"

class BodyStream {
  public:
    BodyStream(int compressed, int protection, std::int32_t bodyLength, std::int64_t maxLength,
               MessageBuffer* inflateBlock);
    // False for the frames that are unwrapped whole once they are in (Blowfish, and plain
    // frames, which have nothing to work on).
    bool Streams() const { return streams_; }
    // Once `received` bytes of the body are in, the work may go up to here: whole AES blocks of
    // the payload, the whole payload once the body is complete; never into the check value.
    std::size_t WorkableEnd(std::size_t received) const;
    // Works on body[from, to), which follows the range of the previous call.
    void Work(unsigned char* body, std::size_t from, std::size_t to);
    // Once the whole body has been worked on: the check value compared, the inflated payload
    // moved into buffer (which holds the body) as UnwrapMessage leaves it.
    Unwrapped Finish(MessageBuffer* buffer);

  private:
    bool streams_ = false, check_ = false, aes_ = false, compressed_ = false;
    bool inflating_ = false;
    std::size_t bodyLength_ = 0, payloadLength_ = 0;
    Sha256Context digest_{};
    unsigned char counter_[16] = {0};
    MessageBuffer fresh_{0, 0, nullptr}; // the inflate block when the caller keeps none
    BlockInflater inflater_;

  public:
    ~BodyStream();
    BodyStream(const BodyStream&) = delete;
    BodyStream& operator=(const BodyStream&) = delete;
};
