#include "session/strip_control_chars.h"

char* StripControlChars(char* text) {
    char* out = text;
    for (const char* in = text; *in; ++in) {
        unsigned char c = static_cast<unsigned char>(*in);
        if (c >= 0x20 && c <= 0x7E)
            *out++ = *in;
    }
    *out = '\0';
    return text;
}
