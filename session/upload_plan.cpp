#include "session/upload_plan.h"

#include <cstring>

bool FormUploadPath(const char* folder, const char* name, char* out, std::size_t outSize) {
    if (outSize == 0)
        return false;
    int n = std::snprintf(out, outSize, "%s\\%s", folder, name);
    if (n < 0 || static_cast<std::size_t>(n) >= outSize) {
        out[0] = '\0';
        return false;
    }
    return true;
}

int UploadPercent(std::int64_t sent, std::int64_t size) {
    if (size <= 0 || sent <= 0)
        return 0;
    if (sent >= size)
        return 100;
    return static_cast<int>(static_cast<double>(sent) / static_cast<double>(size) * 100.0);
}

std::string PushNameMessage(const char* name) {
    std::string message(1, static_cast<char>(PUSH_DATA));
    message += name;
    message += '\0';
    return message;
}

std::string PushDoneMessage() {
    return std::string("\x11"
                       "DONE\0",
                       6);
}

UploadOutcome SendUpload(std::FILE* file, const char* name, std::int64_t size,
                         const UploadSink& sink) {
    auto send = [&](const std::string& message) {
        return sink.send(reinterpret_cast<const unsigned char*>(message.data()),
                         static_cast<int>(message.size()));
    };
    UploadOutcome outcome{0, false};
    if (!send(PushNameMessage(name)))
        return outcome;
    unsigned char message[1 + kUploadPieceSize];
    message[0] = PUSH_DATA;
    int lastPercent = 0;
    std::size_t count = 0;
    do {
        std::memset(message + 1, 0, kUploadPieceSize);
        count = std::fread(message + 1, 1, kUploadPieceSize, file);
        if (count > 0) {
            int percent = UploadPercent(outcome.sent, size);
            if (percent != lastPercent) {
                int delta = percent - lastPercent;
                lastPercent = percent;
                if (sink.progress)
                    sink.progress(delta);
            }
            if (!sink.send(message, static_cast<int>(count + 1)))
                return outcome;
            outcome.sent += static_cast<std::int64_t>(count);
        } else if (!send(PushDoneMessage())) {
            return outcome;
        }
    } while (count == kUploadPieceSize);
    outcome.complete = true;
    return outcome;
}
