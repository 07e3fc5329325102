#include "platform/guarded_file_win.h"

#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/guarded_file.h"
#include "platform/guarded_scope.h"
#include "platform/relative_file_win.h"

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

// The path as the system will report it for an open handle: short names spelt out (the path
// itself when it does not exist yet).
std::string LongForm(const std::string& full) {
    char buffer[MAX_PATH * 2];
    const DWORD n = GetLongPathNameA(full.c_str(), buffer, sizeof buffer);
    return n == 0 || n >= sizeof buffer ? full : std::string(buffer, n);
}

// Whether the open handle is the object at full, not one a path put back meanwhile led to.
bool OpenedWhatWasAsked(HANDLE handle, const std::string& full) {
    char final[MAX_PATH * 2];
    return FinalPathOf(handle, final, sizeof final) && SameFinalPath(LongForm(full), final);
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

HANDLE OpenChecked(const char* path, GuardedUse use, DWORD share, DWORD extraAccess,
                   const char** refusal) {
    std::string full;
    if (!FullPath(path, full)) {
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
    const DWORD disposition = writing ? OPEN_ALWAYS : OPEN_EXISTING;
    if (!InGuardedScope(full, GuardedFolders())) {
        // Outside the product's folders: a plain open.
        HANDLE file = CreateFileA(full.c_str(), access, share, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE && use == GuardedUse::Write && !SetEndOfFile(file)) {
            CloseHandle(file);
            return INVALID_HANDLE_VALUE;
        }
        return file;
    }
    if (!WayIsClear(full)) {
        *refusal = RefusalText(GuardVerdict::LinkOnTheWay);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // An existing file is never emptied before its links are counted.
    HANDLE file = CreateFileA(full.c_str(), access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    const bool created = writing && GetLastError() != ERROR_ALREADY_EXISTS;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return Refuse(file, created);
    // The way is looked at again, and the handle says which file it is: a folder swapped for a
    // link while the file was opened, and put back since, leaves another final path.
    const GuardVerdict verdict = JudgeGuardedPath(WayAttributes(full), info.dwFileAttributes,
                                                  info.nNumberOfLinks, use != GuardedUse::Remove);
    if (verdict != GuardVerdict::Allowed) {
        *refusal = RefusalText(verdict);
        return Refuse(file, created);
    }
    if (!OpenedWhatWasAsked(file, full)) {
        *refusal = kOpenedAnotherFile;
        return Refuse(file, created);
    }
    if (use == GuardedUse::Write && !SetEndOfFile(file))
        return Refuse(file, false);
    return file;
}

} // namespace

HANDLE OpenGuardedHandle(const char* path, GuardedUse use, DWORD share, DWORD extraAccess) {
    const char* refusal = nullptr;
    return OpenChecked(path, use, share, extraAccess, &refusal);
}

std::FILE* OpenGuardedFile(const char* path, const char* mode, const char** refusal) {
    const char* why = nullptr;
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
    HANDLE file = OpenChecked(path, use, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, &why);
    if (refusal)
        *refusal = why;
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
    const std::size_t slash = target.find_last_of("\\/");
    if (slash == std::string::npos || slash + 1 >= target.size())
        return false;
    const std::string folderPath = target.substr(0, slash);
    wchar_t name[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, target.c_str() + slash + 1, -1, name,
                            MAX_PATH) == 0)
        return false;
    // The target folder is held and checked; the new name is looked up in it, not by path.
    HANDLE folder =
        OpenFolderHandle(folderPath.c_str(), FILE_TRAVERSE | FILE_ADD_FILE | FILE_READ_ATTRIBUTES);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool folderIsClear = GetFileInformationByHandle(folder, &info) &&
                               (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                               (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                               OpenedWhatWasAsked(folder, folderPath);
    bool moved = false;
    if (folderIsClear) {
        HANDLE file = OpenGuardedHandle(from, GuardedUse::Remove, FILE_SHARE_READ);
        if (file != INVALID_HANDLE_VALUE) {
            moved = RenameIntoFolder(file, folder, name, replace);
            CloseHandle(file);
        }
    }
    CloseHandle(folder);
    return moved;
}
