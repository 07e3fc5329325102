// The native counterpart of the guarded opens: a symbolic link counts as a reparse point, the
// same decision applies; the opened file must be the one its path names now (device and
// inode), as the Windows half compares the handle's final path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/guarded_file.h"
#include "platform/guarded_scope.h"

namespace {

std::string FullPath(const char* path) {
    if (path[0] == '/')
        return path;
    char here[4096];
    return getcwd(here, sizeof here) ? std::string(here) + "/" + path : std::string(path);
}

unsigned long Attributes(const struct stat& info) {
    return S_ISLNK(info.st_mode) ? kReparsePointAttribute : 0;
}

std::vector<unsigned long> WayAttributes(const std::string& full) {
    std::vector<unsigned long> attributes;
    for (const std::string& folder : FoldersOnTheWay(full)) {
        struct stat info {};
        attributes.push_back(lstat(folder.c_str(), &info) == 0 ? Attributes(info) : kNoAttributes);
    }
    return attributes;
}

bool WayIsClear(const std::string& full) {
    return JudgeGuardedPath(WayAttributes(full), 0, 1, false) == GuardVerdict::Allowed;
}

// The existing file at full, judged without following it.
bool FileIsClear(const std::string& full, bool writing) {
    struct stat info {};
    if (lstat(full.c_str(), &info) != 0)
        return false;
    return JudgeGuardedPath(WayAttributes(full), Attributes(info),
                            static_cast<unsigned long>(info.st_nlink),
                            writing) == GuardVerdict::Allowed;
}

} // namespace

std::FILE* OpenGuardedFile(const char* path, const char* mode, const char** refusal) {
    const char* ignored = nullptr;
    if (!refusal)
        refusal = &ignored;
    *refusal = nullptr;
    const std::string full = FullPath(path);
    if (!InGuardedScope(full, GuardedFolders()))
        return std::fopen(full.c_str(), mode);
    if (!WayIsClear(full)) {
        *refusal = RefusalText(GuardVerdict::LinkOnTheWay);
        return nullptr;
    }
    const bool writing = mode[0] == 'w' || mode[0] == 'a';
    int flags = O_NOFOLLOW | (writing ? O_WRONLY | O_CREAT : O_RDONLY);
    if (mode[0] == 'a')
        flags |= O_APPEND;
    const int descriptor = open(full.c_str(), flags, 0666);
    if (descriptor == -1) {
        if (errno == ELOOP)
            *refusal = RefusalText(GuardVerdict::FileIsLink);
        return nullptr;
    }
    struct stat info {
    }, named{};
    const bool statted = fstat(descriptor, &info) == 0;
    const GuardVerdict verdict =
        statted ? JudgeGuardedPath(WayAttributes(full), 0,
                                   static_cast<unsigned long>(info.st_nlink), true)
                : GuardVerdict::Allowed;
    const bool same = lstat(full.c_str(), &named) == 0 && named.st_dev == info.st_dev &&
                      named.st_ino == info.st_ino;
    if (verdict != GuardVerdict::Allowed)
        *refusal = RefusalText(verdict);
    else if (statted && !same)
        *refusal = kOpenedAnotherFile;
    if (!statted || S_ISDIR(info.st_mode) || verdict != GuardVerdict::Allowed || !same ||
        (mode[0] == 'w' && ftruncate(descriptor, 0) != 0)) {
        close(descriptor);
        return nullptr;
    }
    std::FILE* stream = fdopen(descriptor, mode);
    if (stream == nullptr)
        close(descriptor);
    return stream;
}

bool RemoveGuardedFile(const char* path) {
    const std::string full = FullPath(path);
    if (!InGuardedScope(full, GuardedFolders()))
        return unlink(full.c_str()) == 0;
    return FileIsClear(full, false) && unlink(full.c_str()) == 0;
}

bool MoveGuardedFile(const char* from, const char* to, bool replace) {
    const std::string source = FullPath(from);
    const std::string target = FullPath(to);
    struct stat existing {};
    if (!FileIsClear(source, false) || !WayIsClear(target) ||
        (!replace && lstat(target.c_str(), &existing) == 0))
        return false;
    return std::rename(source.c_str(), target.c_str()) == 0;
}
