#include "install/folder_down_win.h"

#include <string>
#include <utility>
#include <vector>

#include "platform/guarded_scope.h"
#include "platform/relative_file_win.h"

namespace {
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kWalkAccess = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | FILE_ADD_SUBDIRECTORY;

bool IsPlainFolder(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The names below "C:\", each in the ANSI code page and in wide form.
std::vector<std::pair<std::string, std::wstring>> Components(const char* path) {
    std::vector<std::pair<std::string, std::wstring>> parts;
    std::string part;
    for (const char* c = path + 3;; ++c) { // past "C:\"
        if (*c == '\\' || *c == '\0') {
            wchar_t wide[MAX_PATH];
            if (!part.empty()) {
                if (MultiByteToWideChar(CP_ACP, 0, part.c_str(), -1, wide, MAX_PATH) == 0)
                    return {};
                parts.emplace_back(part, wide);
            }
            part.clear();
            if (*c == '\0')
                break;
        } else {
            part += *c;
        }
    }
    return parts;
}

// Whether the handle is the entry name of the folder whose handle gave parentPath, not what a
// link there leads to (the system may report a link's own attributes or its target's).
bool IsEntryOf(HANDLE handle, std::string parentPath, const std::string& name) {
    char final[MAX_PATH * 2];
    if (!parentPath.empty() && parentPath.back() == '\\')
        parentPath.pop_back();
    return IsPlainFolder(handle) && FinalPathOf(handle, final, sizeof final) &&
           SameFinalPath(parentPath + "\\" + name, final);
}
} // namespace

FolderMade MakeFolderDown(const char* path, SECURITY_DESCRIPTOR* descriptor, bool makeParents) {
    const std::string root(path, 3); // "C:\"
    HANDLE parent = OpenFolderHandle(root.c_str(), kWalkAccess);
    if (parent == INVALID_HANDLE_VALUE)
        return FolderMade::Missing;
    const std::vector<std::pair<std::string, std::wstring>> parts = Components(path);
    FolderMade made = parts.empty() ? FolderMade::Missing : FolderMade::Made;
    for (std::size_t i = 0; made == FolderMade::Made && i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        char parentPath[MAX_PATH * 2];
        if (!FinalPathOf(parent, parentPath, sizeof parentPath))
            parentPath[0] = '\0';
        HANDLE next = OpenInFolder(
            parent, parts[i].second.c_str(), kWalkAccess | (last ? FILE_WRITE_ATTRIBUTES : 0),
            kShareAll, last || makeParents ? InFolder::CreateFolder : InFolder::OpenEntry,
            last ? descriptor : nullptr);
        CloseHandle(parent);
        parent = next;
        if (parent == INVALID_HANDLE_VALUE)
            made = FolderMade::Missing;
        else if (!IsEntryOf(parent, parentPath, parts[i].first))
            made = FolderMade::Link;
    }
    if (made == FolderMade::Made) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(parent, FileBasicInfo, &basic, sizeof basic);
    }
    if (parent != INVALID_HANDLE_VALUE)
        CloseHandle(parent);
    return made;
}
