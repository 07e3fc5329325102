// The robot's texts: arguments that may come hex-encoded, output fields escaped.
#include "tools/robot/robot_text.h"

#include <cstdio>
#include <cstring>

#include "base/text_util.h"

std::string Escape(const std::string& text) {
    std::string result;
    for (unsigned char c : text) {
        switch (c) {
        case '\\':
            result += "\\\\";
            break;
        case '\t':
            result += "\\t";
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02X", c);
                result += buf;
            } else {
                result += static_cast<char>(c);
            }
        }
    }
    return result;
}

std::string Decode(const char* arg) {
    if (std::strncmp(arg, "hex:", 4) != 0)
        return arg;
    std::string result;
    for (const char* p = arg + 4; p[0] && p[1]; p += 2) {
        int high = HexDigitValue(p[0]), low = HexDigitValue(p[1]);
        if (high < 0 || low < 0)
            break;
        result += static_cast<char>(high * 16 + low);
    }
    return result;
}
