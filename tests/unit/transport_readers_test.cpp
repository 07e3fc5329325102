// The readers that take typed fields off a received message, decompression and byte order.
#include <zlib.h>

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

// The result replaces the input only when it is longer (plain text, or a stream that gives less,
// stays as it came); it grows past many doublings; a result over the limit fails and leaves the
// input.
TEST(TransportReaders, Uncompress) {
    auto run = [](const std::string& input, std::int64_t limit, bool expected) {
        MessageBuffer b = Make(input);
        EXPECT_EQ(expected, UncompressMessageWithLimit(&b.data, &b.length, limit));
        const std::string out = Rest(b);
        FreeMessageBuffer(&b);
        return out;
    };
    auto deflated = [](const std::string& text) {
        std::string z(compressBound(text.size()), '\0');
        uLongf size = z.size();
        compress(reinterpret_cast<Bytef*>(&z[0]), &size,
                 reinterpret_cast<const Bytef*>(text.data()), text.size());
        return z.substr(0, size);
    };
    EXPECT_EQ("plain text, not zlib", run("plain text, not zlib", kMaxMessageLength, true));
    EXPECT_EQ(deflated("ab"), run(deflated("ab"), kMaxMessageLength, true));
    std::string text;
    for (int i = 0; text.size() < (3u << 20); ++i)
        text += "line " + std::to_string(i % 1000) + " of a highly repetitive listing\n";
    const std::string z = deflated(text);
    EXPECT_TRUE(run(z, static_cast<std::int64_t>(text.size()), true) == text);
    EXPECT_TRUE(run(z, static_cast<std::int64_t>(text.size()) - 1, false) == z);
}

TEST(ByteOrder, LoadsAndStoresEachWidth) {
    const unsigned char in[8] = {1, 2, 3, 4, 5, 6, 7, 0xF8};
    EXPECT_EQ(0x0201u, LoadLe16(in));
    EXPECT_EQ(0x0102u, LoadBe16(in));
    EXPECT_EQ(0xF807060504030201u, LoadLe64(in));
    EXPECT_EQ(0x01020304050607F8u, LoadBe64(in));
    static_assert(LoadLe32("\x01\x02\x03\xF4") == 0xF4030201u &&
                      LoadBe32("\xF1\x02\x03\x04") == 0xF1020304u,
                  "loads in constant expressions, from char");
    unsigned char out[8];
    StoreLe64(out, 0xF807060504030201u);
    EXPECT_EQ(0, std::memcmp(in, out, 8));
    StoreBe64(out, 0x01020304050607F8u);
    EXPECT_EQ(0, std::memcmp(in, out, 8));
    StoreBe16(out, 0x0807);
    StoreLe16(out + 2, 0x0807);
    EXPECT_EQ(0, std::memcmp("\x08\x07\x07\x08", out, 4));
}
