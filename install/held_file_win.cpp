#include "install/held_file_win.h"

#include "platform/guarded_file_win.h"

bool HeldFile::Hold(const char* path, DWORD extraAccess) {
    Release();
    handle_ = OpenGuardedHandle(path, GuardedUse::Read, FILE_SHARE_READ, extraAccess);
    path_ = IsHeld() ? path : "";
    return IsHeld();
}

void HeldFile::Release() {
    if (IsHeld())
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    path_.clear();
}

BlockReader HeldFile::Reader() const {
    HANDLE file = handle_;
    LARGE_INTEGER start{};
    const bool rewound = SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != 0;
    return [file, rewound](unsigned char* into, std::size_t capacity) -> long long {
        DWORD got = 0;
        if (!rewound || !ReadFile(file, into, static_cast<DWORD>(capacity), &got, nullptr))
            return -1;
        return got;
    };
}

HeldVerdict HeldFile::CompareWith(const FileDigest& received) const {
    if (!IsHeld())
        return HeldVerdict::Unreadable;
    return CompareWithReceived(Reader(), received);
}

bool HeldFile::StartsLike(bool installerPackage) const {
    if (!IsHeld())
        return false;
    unsigned char head[8] = {};
    const long long got = Reader()(head, sizeof head);
    return got > 0 && StartsWithSignature(head, static_cast<std::size_t>(got), installerPackage);
}
