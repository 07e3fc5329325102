// The readers that take typed fields off a received message (decompression: the framing test).
#include "transport_test_support.h"

namespace {

// A buffer as KLVrecv leaves it: the bytes, then a zero, in a malloc block.
MessageBuffer Make(const std::string& bytes) {
    MessageBuffer b{static_cast<std::int32_t>(bytes.size() + 1),
                    static_cast<std::int32_t>(bytes.size()),
                    static_cast<unsigned char*>(std::malloc(bytes.size() + 1))};
    std::memcpy(b.data, bytes.c_str(), bytes.size() + 1);
    return b;
}

std::string Rest(const MessageBuffer& b) {
    return std::string(reinterpret_cast<const char*>(b.data), static_cast<std::size_t>(b.length));
}

} // namespace

// Fields end at 0x01 or at the end, may be empty, and are cut to the output (the whole field and
// its 0x01 still go); what is left stays zero-terminated; an empty reader gives -100.
TEST(TransportReaders, StringFields) {
    MessageBuffer b = Make("abc\x01\x01" + std::string(300, 'F') + "\x01" + "de");
    char out[108];
    std::memset(out, '#', sizeof out);
    for (const std::string& expected :
         {std::string("abc"), std::string(), std::string(99, 'F'), std::string("de")}) {
        EXPECT_EQ(0, PopMessageString(&b, out, 100));
        EXPECT_EQ(expected, out);
        EXPECT_EQ('#', out[100]); // nothing written past the output's size
        EXPECT_EQ(0, b.data[b.length]);
    }
    EXPECT_EQ(0, b.length);
    EXPECT_EQ(POP_EMPTY, PopMessageString(&b, out, sizeof out));
    EXPECT_STREQ("", out);
    FreeMessageBuffer(&b);
}

TEST(TransportReaders, BytesAndIntegers) {
    MessageBuffer b = Make(std::string("\xFF\x07\xFE\xFF\xFF\xFF\x9C\xFF\xFF\xFF\x01\x02\x03", 13));
    EXPECT_EQ(255, PopMessageByte(&b));
    EXPECT_EQ(7, PopMessageByte(&b));
    EXPECT_EQ(-2, PopMessageInt(&b));
    EXPECT_EQ(POP_EMPTY, PopMessageInt(&b)); // a stored -100 reads like an empty buffer
    EXPECT_EQ(POP_EMPTY, PopMessageInt(&b)); // 3 bytes left: unchanged
    EXPECT_EQ("\x01\x02\x03", Rest(b));
    for (int expected : {1, 2, 3, POP_EMPTY})
        EXPECT_EQ(expected, PopMessageByte(&b));
    FreeMessageBuffer(&b);
}
