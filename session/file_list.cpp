#include "session/file_list.h"

#include <cstring>

#include "session/session.h"
#include "session/strip_control_chars.h"
#include "base/install_log.h"
#include "platform/guarded_file.h"

bool ListHasRoom(const char* path, int fileCount, const char* name) {
    if (fileCount >= kMaxListedNames)
        return false;
    long size = 0;
    if (std::FILE* file = std::fopen(path, "rb")) {
        if (std::fseek(file, 0, SEEK_END) == 0)
            size = std::ftell(file);
        std::fclose(file);
    }
    const long line = static_cast<long>(std::strlen(name)) + 2;
    return size >= 0 && size <= kMaxFileListBytes - line;
}

bool AppendFileNameLine(const char* path, const char* name) {
    const char* refusal = nullptr;
    std::FILE* file = OpenGuardedFile(path, "a", &refusal);
    if (!file) {
        if (refusal)
            WriteInstallLog("%s not written: %s", path, refusal);
        return false;
    }
    std::fprintf(file, "%s\n", name);
    std::fclose(file);
    return true;
}

bool ReadListLine(std::FILE* file, char* out, std::size_t outSize) {
    if (outSize == 0)
        return false;
    std::size_t kept = 0;
    int c = std::fgetc(file);
    if (c == EOF) {
        out[0] = '\0';
        return false;
    }
    for (; c != EOF && c != '\n'; c = std::fgetc(file)) {
        if (kept + 1 < outSize)
            out[kept++] = static_cast<char>(c);
    }
    out[kept] = '\0';
    StripControlChars(out);
    return true;
}

std::vector<std::string> ReadListLines(const char* path) {
    std::vector<std::string> lines;
    const char* refusal = nullptr;
    std::FILE* file = OpenGuardedFile(path, "r", &refusal);
    if (!file) {
        if (refusal)
            WriteInstallLog("%s not read: %s", path, refusal);
        return lines;
    }
    char line[kListLineCapacity];
    while (ReadListLine(file, line, sizeof line))
        lines.emplace_back(line);
    std::fclose(file);
    return lines;
}

bool ListLineAt(const char* path, int position, char* out, std::size_t outSize) {
    if (outSize > 0)
        out[0] = '\0';
    if (position < 0)
        return false;
    std::FILE* file = OpenGuardedFile(path, "r");
    if (!file)
        return false;
    char line[kListLineCapacity];
    bool found = false;
    for (int index = 0; ReadListLine(file, line, sizeof line); ++index) {
        if (index == position) {
            std::snprintf(out, outSize, "%s", line);
            found = true;
            break;
        }
    }
    std::fclose(file);
    return found;
}

bool IsValidListPosition(int position, int fileCount) {
    return position >= 0 && position < fileCount;
}

bool FitsRequestedFileName(const char* name) {
    return std::strlen(name) < static_cast<std::size_t>(kRequestedFileNameCapacity);
}
