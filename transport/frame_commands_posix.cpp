#include "transport/frame_commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "transport/frame_stream.h"
#include "transport/framing.h"

namespace {

// Text for a dump line: printable ASCII as is, everything else as \xHH, backslash and quote
// escaped.
std::string Printable(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c <= 0x7E) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

} // namespace

const char* ServerBufferTypeName(int type) {
    static const char* const names[] = {"FILE_SIZE",   "SERVER_ERROR", "FILE_DESTINATION",
                                        "FILE_DATA",   "DATA_SIZE",    "FILE_NAME",
                                        "PUSH_REQUEST"};
    return type >= 1 && type <= 7 ? names[type - 1] : nullptr;
}

bool EncodeFrameCommand(const std::string& payload, int options, std::string* out) {
    out->clear();
    if (payload.size() > static_cast<std::size_t>(kMaxMessageLength))
        return false;
    std::vector<unsigned char> copy(payload.begin(), payload.end());
    unsigned char* frame = nullptr;
    std::size_t frameLength = 0;
    if (!BuildFrame(copy.data(), static_cast<std::int32_t>(copy.size()), options, &frame,
                    &frameLength))
        return false;
    out->assign(reinterpret_cast<const char*>(frame), frameLength);
    std::free(frame);
    return true;
}

int DecodeFrameCommand(const std::string& stream, std::string* out) {
    out->clear();
    const bool whole =
        ReceiveFrameStream(reinterpret_cast<const unsigned char*>(stream.data()), stream.size(),
                           [&](const StreamFrame& frame) {
                               out->append(reinterpret_cast<const char*>(frame.payload),
                                           static_cast<std::size_t>(frame.payloadLength));
                           });
    return whole ? 0 : 1;
}

int DumpFrameCommand(const std::string& stream, std::string* out) {
    out->clear();
    int failedIndex = 0;
    const bool whole = ReceiveFrameStream(
        reinterpret_cast<const unsigned char*>(stream.data()), stream.size(),
        [&](const StreamFrame& frame) {
            char line[400];
            std::snprintf(
                line, sizeof line, "frame %d: compressed=%u protection=%u bodyLength=%d payload=%d",
                frame.index, frame.compressed, frame.protection, static_cast<int>(frame.bodyLength),
                static_cast<int>(frame.payloadLength));
            *out += line;
            const char* name =
                frame.payloadLength > 0 ? ServerBufferTypeName(frame.payload[0]) : nullptr;
            if (name) {
                *out += " type=" + std::to_string(frame.payload[0]) + " " + name;
                if (frame.payload[0] == 4) {
                    *out += " data=" + std::to_string(frame.payloadLength - 1);
                } else {
                    // The text field as the client reads it: up to the first 0x01, 99 characters.
                    MessageBuffer copy;
                    copy.length = frame.payloadLength - 1;
                    copy.capacity = frame.payloadLength;
                    copy.data = static_cast<unsigned char*>(
                        std::malloc(static_cast<std::size_t>(frame.payloadLength)));
                    if (copy.data) {
                        std::memcpy(copy.data, frame.payload + 1,
                                    static_cast<std::size_t>(frame.payloadLength));
                        char text[100];
                        PopMessageString(&copy, text, sizeof text);
                        *out += " text=\"" + Printable(text) + "\"";
                        std::free(copy.data);
                    }
                }
            }
            *out += "\n";
        },
        &failedIndex);
    if (!whole)
        *out += "frame " + std::to_string(failedIndex) + ": failed\n";
    return whole ? 0 : 1;
}
