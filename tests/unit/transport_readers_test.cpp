// The readers that take typed fields off a received message, and the compression steps.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "transport/framing.h"

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

TEST(TransportReaders, StringFieldsSeparatedByOne) {
    MessageBuffer b = Make("abc\x01"
                           "de");
    char out[100];
    EXPECT_EQ(0, PopMessageString(&b, out, sizeof out));
    EXPECT_STREQ("abc", out);
    EXPECT_EQ("de", Rest(b));
    EXPECT_EQ(0, b.data[b.length]);
    EXPECT_EQ(0, PopMessageString(&b, out, sizeof out));
    EXPECT_STREQ("de", out);
    EXPECT_EQ(0, b.length);
    std::strcpy(out, "stale");
    EXPECT_EQ(POP_EMPTY, PopMessageString(&b, out, sizeof out));
    EXPECT_STREQ("", out);
    // Empty fields and a trailing separator.
    MessageBuffer c = Make("\x01\x01x\x01");
    EXPECT_EQ(0, PopMessageString(&c, out, sizeof out));
    EXPECT_STREQ("", out);
    EXPECT_EQ(0, PopMessageString(&c, out, sizeof out));
    EXPECT_STREQ("", out);
    EXPECT_EQ(0, PopMessageString(&c, out, sizeof out));
    EXPECT_STREQ("x", out);
    EXPECT_EQ(0, c.length);
    FreeMessageBuffer(&b);
    FreeMessageBuffer(&c);
}

// A field longer than the output is cut to fit; the whole field and its 0x01 still go.
TEST(TransportReaders, LongFieldIsCutToTheOutput) {
    const std::string longField(300, 'F');
    MessageBuffer b = Make(longField + "\x01" + "next");
    char out[100 + 8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(0, PopMessageString(&b, out, 100));
    EXPECT_EQ(std::string(99, 'F'), std::string(out));
    EXPECT_EQ('#', out[100]); // nothing written past the output's size
    EXPECT_EQ("next", Rest(b));
    char small[4];
    EXPECT_EQ(0, PopMessageString(&b, small, sizeof small));
    EXPECT_STREQ("nex", small);
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

TEST(TransportReaders, CompressOnlyWhenItShrinks) {
    std::string text(5000, 'a');
    std::int32_t length = 5000;
    ASSERT_TRUE(CompressMessage(reinterpret_cast<unsigned char*>(&text[0]), &length));
    EXPECT_LT(length, 100);
    EXPECT_EQ(Deflated(std::string(5000, 'a')), text.substr(0, static_cast<std::size_t>(length)));

    std::string noise(300, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 7919u + (i >> 3) * 104729u) ^ (i * i));
    const std::string before = noise;
    length = 300;
    EXPECT_FALSE(CompressMessage(reinterpret_cast<unsigned char*>(&noise[0]), &length));
    EXPECT_EQ(300, length);
    EXPECT_EQ(before, noise);
    length = 0;
    EXPECT_FALSE(CompressMessage(reinterpret_cast<unsigned char*>(&noise[0]), &length));
}

TEST(TransportReaders, UncompressKeepsTheInputWhenItIsNoStream) {
    for (const std::string& input : {std::string("plain text, not zlib"), Deflated("ab")}) {
        unsigned char* data = static_cast<unsigned char*>(std::malloc(input.size() + 1));
        std::memcpy(data, input.data(), input.size());
        std::int32_t length = static_cast<std::int32_t>(input.size());
        unsigned char* before = data;
        EXPECT_TRUE(UncompressMessage(&data, &length));
        EXPECT_EQ(before, data);
        EXPECT_EQ(input,
                  std::string(reinterpret_cast<char*>(data), static_cast<std::size_t>(length)));
        std::free(data);
    }
}

// The result grows past many doublings; a result over the limit fails and leaves the input.
TEST(TransportReaders, UncompressGrowsAndStopsAtTheLimit) {
    std::string text;
    for (int i = 0; text.size() < (3u << 20); ++i)
        text += "line " + std::to_string(i % 1000) + " of a highly repetitive listing\n";
    const std::string z = Deflated(text);
    auto run = [&](std::int64_t limit, bool* ok) {
        unsigned char* data = static_cast<unsigned char*>(std::malloc(z.size()));
        std::memcpy(data, z.data(), z.size());
        std::int32_t length = static_cast<std::int32_t>(z.size());
        *ok = UncompressMessageWithLimit(&data, &length, limit);
        std::string out(reinterpret_cast<char*>(data), static_cast<std::size_t>(length));
        std::free(data);
        return out;
    };
    bool ok = false;
    EXPECT_TRUE(run(kMaxMessageLength, &ok) == text);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(run(static_cast<std::int64_t>(text.size()), &ok) == text);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(run(static_cast<std::int64_t>(text.size()) - 1, &ok) == z);
    EXPECT_FALSE(ok);
}

TEST(TransportReaders, FreshBufferAndRelease) {
    MessageBuffer b;
    ASSERT_TRUE(InitMessageBuffer(&b));
    EXPECT_EQ(4, b.capacity);
    EXPECT_EQ(0, b.length);
    ASSERT_NE(nullptr, b.data);
    FreeMessageBuffer(&b);
    EXPECT_EQ(nullptr, b.data);
    EXPECT_EQ(0, b.capacity);
}
