#include "session/protocol.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "base/options.h"
#include "base/product_paths.h"
#include "transport/klv_socket.h"

const char kDataAcknowledgement[] = "NO NEED TO ARGUE";
const char kSetupServerFolder[] = "/usr/orvane/bin/";
const char kEndOfFileList[] = "NoMore";

namespace {

bool Fits(int written, std::size_t outSize) {
    return written >= 0 && static_cast<std::size_t>(written) < outSize;
}

} // namespace

bool BuildModeCommand(const ModeCommandInput& input, char* out, std::size_t outSize) {
    if (outSize == 0)
        return false;
    const char* fileName = input.fileName ? input.fileName : "";
    const char* serverFolder = input.serverFolder ? input.serverFolder : "";
    int written;
    if (fileName[0] != '\0') {
        if (input.pushMode)
            written = std::snprintf(out, outSize, "-EFTPPUSHMODE -F%s", fileName);
        else
            written = std::snprintf(out, outSize, "-EFTPMODE -F%s%s", serverFolder, fileName);
    } else if (input.pushMode) {
        written = std::snprintf(out, outSize, "-EFTPPUSHMODE");
    } else if (input.setupMode) {
        written = std::snprintf(out, outSize, "-EFTPMODE -F%s%s", kSetupServerFolder,
                                ChooseSetupProgram(input.fullSetup).name);
    } else {
        written = std::snprintf(out, outSize, "-EFTPMODE");
    }
    if (Fits(written, outSize) && input.removeAfterTransfer) {
        std::size_t length = static_cast<std::size_t>(written);
        written += std::snprintf(out + length, outSize - length, " -X");
    }
    if (!Fits(written, outSize)) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool BuildModeCommandFromOptions(const Options& options, char* out, std::size_t outSize) {
    ModeCommandInput input{options.SetupMode,      options.PushMode,
                           options.FullSetup,      options.RemoveAfterTransfer,
                           options.OptionFileName, options.OptionServerFolder};
    return BuildModeCommand(input, out, outSize);
}

int ReadServerMessage(MessageBuffer* buffer, char* text) {
    text[0] = '\0';
    int type = PopMessageByte(buffer);
    if (type == POP_EMPTY || type == FILE_DATA)
        return type;
    PopMessageString(buffer, text, kTextFieldCapacity);
    return type;
}

std::int32_t ParseDecimalField(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value <= static_cast<long long>(INT32_MAX) + 1)
            value = value * 10 + (*p - '0');
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

const char kSocketEventErrorText[] = "WSOCK_MESSAGE error";

bool PlanSocketEventError(int error, char* caption, std::size_t captionSize) {
    std::snprintf(caption, captionSize, "Socket Error <%d>", error);
    return error == KLV_WSAECONNABORTED;
}
