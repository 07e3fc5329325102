#include "platform/relative_file_win.h"

#include <winternl.h>

#include <cwchar>
#include <vector>

namespace {
constexpr ULONG kFileOpen = 1;   // FILE_OPEN
constexpr ULONG kFileOpenIf = 3; // FILE_OPEN_IF
constexpr ULONG kDirectoryFile = 0x00000001;
constexpr ULONG kSynchronousIo = 0x00000020; // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kBackupIntent = 0x00004000;
constexpr ULONG kOpenReparsePoint = 0x00200000;
constexpr ULONG kCaseInsensitive = 0x40; // OBJ_CASE_INSENSITIVE
constexpr int kRenameInformation = 10;   // FileRenameInformation

using CreateFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                        PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using SetInformationFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
using StatusToErrorFunction = ULONG(NTAPI*)(NTSTATUS);

// ntdll is in every process from its start: no search can put another one in its place.
template <typename F> F Native(const char* name) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)))
                 : nullptr;
}

void SetErrorFrom(NTSTATUS status) {
    auto toError = Native<StatusToErrorFunction>("RtlNtStatusToDosError");
    SetLastError(toError ? toError(status) : ERROR_ACCESS_DENIED);
}

// The same layout as the system's rename record, with the name inline.
struct RenameRecord {
    BOOLEAN replace;
    HANDLE root;
    ULONG nameBytes;
    WCHAR name[1];
};
} // namespace

HANDLE OpenInFolder(HANDLE folder, const wchar_t* name, DWORD access, DWORD share, InFolder how,
                    SECURITY_DESCRIPTOR* descriptor) {
    auto create = Native<CreateFunction>("NtCreateFile");
    const std::size_t length = std::wcslen(name);
    if (!create || length == 0 || length > 255 || std::wcschr(name, L'\\') ||
        std::wcschr(name, L'/')) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name);
    text.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, kCaseInsensitive, folder, descriptor);
    IO_STATUS_BLOCK io{};
    HANDLE handle = INVALID_HANDLE_VALUE;
    const bool makeFolder = how == InFolder::CreateFolder;
    const NTSTATUS status = create(
        &handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
        makeFolder ? kFileOpenIf : kFileOpen,
        kSynchronousIo | kBackupIntent | kOpenReparsePoint | (makeFolder ? kDirectoryFile : 0),
        nullptr, 0);
    if (status < 0) {
        SetErrorFrom(status);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

HANDLE OpenFolderHandle(const char* path, DWORD access) {
    return CreateFileA(
        path, access | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool RenameIntoFolder(HANDLE file, HANDLE folder, const wchar_t* name, bool replace) {
    auto setInformation = Native<SetInformationFunction>("NtSetInformationFile");
    const std::size_t length = std::wcslen(name);
    if (!setInformation || length == 0 || std::wcschr(name, L'\\') || std::wcschr(name, L'/')) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::vector<unsigned char> block(sizeof(RenameRecord) + length * sizeof(WCHAR));
    auto* record = reinterpret_cast<RenameRecord*>(block.data());
    record->replace = replace ? TRUE : FALSE;
    record->root = folder;
    record->nameBytes = static_cast<ULONG>(length * sizeof(WCHAR));
    std::wmemcpy(record->name, name, length);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        setInformation(file, &io, record, static_cast<ULONG>(block.size()), kRenameInformation);
    if (status < 0) {
        SetErrorFrom(status);
        return false;
    }
    return true;
}

bool FinalPathOf(HANDLE handle, char* out, DWORD capacity) {
    wchar_t wide[MAX_PATH * 2];
    const DWORD n = GetFinalPathNameByHandleW(handle, wide, MAX_PATH * 2, FILE_NAME_NORMALIZED);
    if (n == 0 || n >= MAX_PATH * 2)
        return false;
    BOOL lossy = FALSE;
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(n) + 1, out,
                                          static_cast<int>(capacity), nullptr, &lossy);
    return bytes > 0 && !lossy; // a name this code page cannot spell is never "the same"
}
