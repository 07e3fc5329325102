// The walk of the product's folders (SetFolderPermissions, SetOrvanePermissions): each folder
// is listed through its own handle, each entry opened relative to that handle without
// following a link, and granted through the entry's handle, so that a folder renamed and
// replaced by a junction during the walk never leads a grant elsewhere.
#include <windows.h>

#include <string>
#include <vector>

#include "base/install_log.h"
#include "base/product_paths.h"
#include "install/permissions.h"
#include "install/permissions_win.h"
#include "platform/guarded_file.h"
#include "platform/guarded_scope.h"
#include "platform/relative_file_win.h"

namespace {
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kGrantAccess = READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES;
constexpr DWORD kFolderAccess = kGrantAccess | FILE_LIST_DIRECTORY | FILE_TRAVERSE;
constexpr std::size_t kPathCapacity = 260;
constexpr int kDeepest = 64; // folders within folders; a loop needs a link, which is skipped

std::string Narrow(const wchar_t* name, std::size_t length) {
    char text[MAX_PATH * 2];
    const int n = WideCharToMultiByte(CP_ACP, 0, name, static_cast<int>(length), text,
                                      sizeof text - 1, nullptr, nullptr);
    return std::string(text, n > 0 ? n : 0);
}

struct Listed {
    std::wstring name;
    unsigned long attributes;
};

// The entries of the folder the handle refers to, as the listing gives them.
std::vector<Listed> ListFolder(HANDLE folder) {
    std::vector<Listed> names;
    alignas(8) unsigned char block[16384];
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, kind, block, sizeof block)) {
        kind = FileIdBothDirectoryInfo;
        for (std::size_t at = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(block + at);
            names.push_back({std::wstring(entry->FileName, entry->FileNameLength / sizeof(WCHAR)),
                             entry->FileAttributes});
            if (entry->NextEntryOffset == 0)
                break;
            at += entry->NextEntryOffset;
        }
    }
    return names;
}

// Whether the entry's handle is the entry of the folder, not what a link there leads to.
bool IsEntryOf(HANDLE entry, const std::string& folderPath, const std::string& name) {
    char final[MAX_PATH * 2];
    return FinalPathOf(entry, final, sizeof final) &&
           SameFinalPath(folderPath + "\\" + name, final);
}

void WalkFolder(HANDLE folder, bool recurse, int depth) {
    char folderPath[MAX_PATH * 2];
    if (!FinalPathOf(folder, folderPath, sizeof folderPath))
        return;
    for (const Listed& listed : ListFolder(folder)) {
        const std::wstring& name = listed.name;
        const std::string narrow = Narrow(name.data(), name.size());
        if (name == L".") {
            AddAceToObjectSecurity(folder, "Everyone", kGenericAll);
            continue;
        }
        // The entry's final path must be shown to be the folder's entry: one the system may not
        // spell out in full is skipped, with a line.
        const std::string shown =
            std::string(folderPath).compare(0, 4, "\\\\?\\") == 0 ? folderPath + 4 : folderPath;
        if (shown.size() + 1 + narrow.size() >= kPathCapacity) {
            WriteInstallLog("SetFolderPermissions() path too long, skipped: %.200s\\%.200s",
                            shown.c_str(), narrow.c_str());
            continue;
        }
        // What the listing says counts too: a link is never opened.
        if (ChooseWalkStep(narrow.c_str(), listed.attributes, 1, recurse) == WalkStep::Skip)
            continue;
        HANDLE entry =
            OpenInFolder(folder, name.c_str(), kFolderAccess, kShareAll, InFolder::OpenEntry);
        if (entry == INVALID_HANDLE_VALUE) // a file: no listing access to ask for
            entry =
                OpenInFolder(folder, name.c_str(), kGrantAccess, kShareAll, InFolder::OpenEntry);
        if (entry == INVALID_HANDLE_VALUE)
            continue;
        BY_HANDLE_FILE_INFORMATION info{};
        const WalkStep step =
            GetFileInformationByHandle(entry, &info) && IsEntryOf(entry, folderPath, narrow)
                ? ChooseWalkStep(narrow.c_str(), info.dwFileAttributes, info.nNumberOfLinks,
                                 recurse)
                : WalkStep::Skip;
        if (step != WalkStep::Skip)
            AddAceToObjectSecurity(entry, "Everyone", kGenericAll);
        if (step == WalkStep::GrantAndDescend && depth < kDeepest)
            WalkFolder(entry, recurse, depth + 1);
        CloseHandle(entry);
    }
}

// The folder at its full path, when neither it nor a folder on its way is a link and the handle
// is the folder asked for.
HANDLE OpenCheckedFolder(const char* path) {
    HANDLE folder = OpenFolderHandle(path, kFolderAccess);
    if (folder == INVALID_HANDLE_VALUE)
        return folder;
    std::vector<unsigned long> way;
    for (const std::string& above : FoldersOnTheWay(path))
        way.push_back(GetFileAttributesA(above.c_str()));
    BY_HANDLE_FILE_INFORMATION info{};
    char final[MAX_PATH * 2];
    if (!GetFileInformationByHandle(folder, &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        JudgeGuardedPath(way, info.dwFileAttributes, 1, false) != GuardVerdict::Allowed ||
        !FinalPathOf(folder, final, sizeof final) || !SameFinalPath(path, final)) {
        CloseHandle(folder);
        return INVALID_HANDLE_VALUE;
    }
    return folder;
}
} // namespace

void SetFolderPermissions(const char* folder, int recurse) {
    // A folder that is itself a junction or symbolic link lists someone else's files.
    HANDLE handle = OpenCheckedFolder(folder);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    WalkFolder(handle, recurse != 0, 0);
    CloseHandle(handle);
}

void SetOrvanePermissions() {
    WriteInstallLog("SetOrvanePermissions");
    SetFolderPermissions(kKlvFolder, 0);
    SetFolderPermissions(kKlvTransferFolder, 0);
    SetFolderPermissions(kProductFolder, 0);
    SetFolderPermissions(kProgramFolder, 0);
    SetFolderPermissions(kZelFolder, 1);
}
