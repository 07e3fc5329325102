#include "transport/guarded_file_win.h"

#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <string>
#include <vector>

#include "transport/guarded_file.h"

namespace {

bool FullPath(const char* path, std::string& full) {
    char buffer[MAX_PATH * 2];
    DWORD n = GetFullPathNameA(path, sizeof buffer, buffer, nullptr);
    if (n == 0 || n >= sizeof buffer)
        return false;
    full.assign(buffer, n);
    return true;
}

std::vector<unsigned long> WayAttributes(const std::string& full) {
    std::vector<unsigned long> attributes;
    for (const std::string& folder : FoldersOnTheWay(full))
        attributes.push_back(GetFileAttributesA(folder.c_str()));
    return attributes;
}

bool WayIsClear(const std::string& full) {
    return JudgeGuardedPath(WayAttributes(full), 0, 1, false) == GuardVerdict::Allowed;
}

bool MarkForDeletion(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

HANDLE Refuse(HANDLE file, bool created) {
    if (created)
        MarkForDeletion(file); // made by this open: it goes again
    CloseHandle(file);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

} // namespace

HANDLE OpenGuardedHandle(const char* path, GuardedUse use, DWORD share, DWORD extraAccess) {
    std::string full;
    if (!FullPath(path, full) || !WayIsClear(full)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const bool writing = use == GuardedUse::Write || use == GuardedUse::Append;
    DWORD access = FILE_READ_ATTRIBUTES | SYNCHRONIZE | extraAccess;
    if (use == GuardedUse::Read)
        access |= GENERIC_READ;
    else if (writing)
        access |= GENERIC_WRITE;
    else
        access |= DELETE;
    // An existing file is never emptied before its links are counted.
    HANDLE file =
        CreateFileA(full.c_str(), access, share, nullptr, writing ? OPEN_ALWAYS : OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    const bool created = writing && GetLastError() != ERROR_ALREADY_EXISTS;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return Refuse(file, created);
    // The way is looked at again: a folder swapped for a link while the file was opened.
    if (JudgeGuardedPath(WayAttributes(full), info.dwFileAttributes, info.nNumberOfLinks,
                         writing) != GuardVerdict::Allowed)
        return Refuse(file, created);
    if (use == GuardedUse::Write && !SetEndOfFile(file))
        return Refuse(file, false);
    return file;
}

std::FILE* OpenGuardedFile(const char* path, const char* mode) {
    GuardedUse use = GuardedUse::Read;
    int flags = _O_RDONLY;
    if (mode[0] == 'w') {
        use = GuardedUse::Write;
        flags = _O_WRONLY;
    } else if (mode[0] == 'a') {
        use = GuardedUse::Append;
        flags = _O_WRONLY | _O_APPEND;
    }
    if (std::strchr(mode, 'b') == nullptr)
        flags |= _O_TEXT;
    else
        flags |= _O_BINARY;
    HANDLE file = OpenGuardedHandle(path, use, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags);
    if (descriptor == -1) {
        CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = _fdopen(descriptor, mode);
    if (stream == nullptr)
        _close(descriptor);
    return stream;
}

bool RemoveGuardedFile(const char* path) {
    HANDLE file = OpenGuardedHandle(path, GuardedUse::Remove,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool removed = MarkForDeletion(file);
    CloseHandle(file);
    return removed;
}

bool MoveGuardedFile(const char* from, const char* to, bool replace) {
    std::string target;
    if (!FullPath(to, target) || !WayIsClear(target))
        return false;
    HANDLE file = OpenGuardedHandle(from, GuardedUse::Remove, FILE_SHARE_READ);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const int characters = MultiByteToWideChar(CP_ACP, 0, target.c_str(), -1, nullptr, 0);
    std::vector<unsigned char> block(sizeof(FILE_RENAME_INFO) + sizeof(WCHAR) * characters);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(block.data());
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(sizeof(WCHAR) * (characters - 1));
    MultiByteToWideChar(CP_ACP, 0, target.c_str(), -1, rename->FileName, characters);
    const bool moved = SetFileInformationByHandle(file, FileRenameInfo, rename,
                                                  static_cast<DWORD>(block.size())) != 0;
    CloseHandle(file);
    return moved;
}
