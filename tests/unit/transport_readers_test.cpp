// The readers that take typed fields off a received message, and the compression steps.
#include <zlib.h>

#include "transport_test_support.h"

namespace {

// A buffer as KLVrecv leaves it: the bytes, then a zero, in a malloc block.
MessageBuffer Make(const std::string& bytes) {
    MessageBuffer b;
    b.capacity = static_cast<std::int32_t>(bytes.size() + 10);
    b.length = static_cast<std::int32_t>(bytes.size());
    b.data = static_cast<unsigned char*>(std::malloc(bytes.size() + 10));
    std::memcpy(b.data, bytes.data(), bytes.size());
    b.data[bytes.size()] = 0;
    return b;
}

std::string Rest(const MessageBuffer& b) {
    return std::string(reinterpret_cast<const char*>(b.data), static_cast<std::size_t>(b.length));
}

std::string Deflated(const std::string& text) {
    std::string z(compressBound(text.size()), '\0');
    uLongf size = z.size();
    compress(reinterpret_cast<Bytef*>(&z[0]), &size, reinterpret_cast<const Bytef*>(text.data()),
             text.size());
    z.resize(size);
    return z;
}

} // namespace

// Fields end at 0x01 or at the end; empty fields; what is left stays zero-terminated.
TEST(TransportReaders, StringFieldsSeparatedByOne) {
    MessageBuffer b = Make("abc\x01\x01\x01x\x01"
                           "de");
    char out[100];
    for (const char* expected : {"abc", "", "", "x"}) {
        EXPECT_EQ(0, PopMessageString(&b, out, sizeof out));
        EXPECT_STREQ(expected, out);
    }
    EXPECT_EQ("de", Rest(b));
    EXPECT_EQ(0, b.data[b.length]);
    EXPECT_EQ(0, PopMessageString(&b, out, sizeof out));
    EXPECT_STREQ("de", out);
    EXPECT_EQ(0, b.length);
    std::strcpy(out, "stale");
    EXPECT_EQ(POP_EMPTY, PopMessageString(&b, out, sizeof out));
    EXPECT_STREQ("", out);
    FreeMessageBuffer(&b);
}

// A field longer than the output is cut to fit; the whole field and its 0x01 still go.
TEST(TransportReaders, LongFieldIsCutToTheOutput) {
    MessageBuffer b = Make(std::string(300, 'F') + "\x01" + "next");
    char out[100 + 8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(0, PopMessageString(&b, out, 100));
    EXPECT_EQ(std::string(99, 'F'), std::string(out));
    EXPECT_EQ('#', out[100]); // nothing written past the output's size
    EXPECT_EQ("next", Rest(b));
    EXPECT_EQ(0, PopMessageString(&b, out, 4));
    EXPECT_STREQ("nex", out);
    EXPECT_EQ(0, b.length);
    FreeMessageBuffer(&b);
}

TEST(TransportReaders, BytesAndIntegers) {
    MessageBuffer b = Make(std::string("\xFF\x07\xFE\xFF\xFF\xFF\x9C\xFF\xFF\xFF\x01\x02\x03", 13));
    EXPECT_EQ(255, PopMessageByte(&b));
    EXPECT_EQ(7, PopMessageByte(&b));
    EXPECT_EQ(-2, PopMessageInt(&b));
    EXPECT_EQ(POP_EMPTY, PopMessageInt(&b)); // a stored -100 reads like an empty buffer
    EXPECT_EQ(3, b.length);
    EXPECT_EQ(POP_EMPTY, PopMessageInt(&b)); // 3 bytes left: unchanged
    EXPECT_EQ(std::string("\x01\x02\x03", 3), Rest(b));
    EXPECT_EQ(1, PopMessageByte(&b));
    EXPECT_EQ(2, PopMessageByte(&b));
    EXPECT_EQ(3, PopMessageByte(&b));
    EXPECT_EQ(POP_EMPTY, PopMessageByte(&b));
    EXPECT_EQ(0, b.data[0]);
    FreeMessageBuffer(&b);

    MessageBuffer le = Make(std::string("\x78\x56\x34\x12", 4));
    EXPECT_EQ(0x12345678, PopMessageInt(&le));
    EXPECT_EQ(0, le.length);
    FreeMessageBuffer(&le);
}

// The result replaces the input only when it is longer (plain text, or a stream that gives
// less, stays as it came); it grows past many doublings; a result over the limit fails and
// leaves the input.
TEST(TransportReaders, Uncompress) {
    auto run = [](const std::string& input, std::int64_t limit, bool expected) {
        unsigned char* data = static_cast<unsigned char*>(std::malloc(input.size()));
        std::memcpy(data, input.data(), input.size());
        std::int32_t length = static_cast<std::int32_t>(input.size());
        EXPECT_EQ(expected, UncompressMessageWithLimit(&data, &length, limit));
        std::string out(reinterpret_cast<char*>(data), static_cast<std::size_t>(length));
        std::free(data);
        return out;
    };
    EXPECT_EQ("plain text, not zlib", run("plain text, not zlib", kMaxMessageLength, true));
    EXPECT_EQ(Deflated("ab"), run(Deflated("ab"), kMaxMessageLength, true));
    std::string text;
    for (int i = 0; text.size() < (3u << 20); ++i)
        text += "line " + std::to_string(i % 1000) + " of a highly repetitive listing\n";
    const std::string z = Deflated(text);
    const auto size = static_cast<std::int64_t>(text.size());
    EXPECT_TRUE(run(z, kMaxMessageLength, true) == text);
    EXPECT_TRUE(run(z, size, true) == text);
    EXPECT_TRUE(run(z, size - 1, false) == z);
}
