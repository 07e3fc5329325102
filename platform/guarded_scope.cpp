#include "platform/guarded_scope.h"

namespace {
bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

std::vector<std::string>& Folders() {
    static std::vector<std::string> folders = {"C:\\orvane", "C:\\KLV"};
    return folders;
}
} // namespace

std::string ComparablePath(const std::string& path) {
    std::string rest = path;
    for (char& c : rest)
        if (c == '/')
            c = '\\';
    std::string head;
    if (rest.compare(0, 8, "\\\\?\\UNC\\") == 0 || rest.compare(0, 8, "\\\\?\\unc\\") == 0) {
        head = "\\\\";
        rest.erase(0, 8);
    } else if (rest.compare(0, 4, "\\\\?\\") == 0 || rest.compare(0, 4, "\\??\\") == 0) {
        rest.erase(0, 4);
    } else if (rest.compare(0, 2, "\\\\") == 0) {
        head = "\\\\";
        rest.erase(0, 2);
    } else if (!rest.empty() && rest[0] == '\\') {
        head = "\\"; // a root without a drive (the native build's "/")
    }
    // Components, with "." dropped and ".." taking back the one before (never the first: the
    // drive or the server).
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= rest.size()) {
        std::size_t end = at;
        while (end < rest.size() && !IsSeparator(rest[end]))
            ++end;
        const std::string part = rest.substr(at, end - at);
        if (part == "..") {
            if (parts.size() > (head == "\\" ? 0u : 1u))
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string out = head;
    for (std::size_t i = 0; i < parts.size(); ++i)
        out += (i ? "\\" : "") + parts[i];
    if (parts.size() == 1 && head.empty() && out.size() == 2 && out[1] == ':')
        out += '\\'; // "C:\" stays the root, not the drive's current folder
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool SameFinalPath(const std::string& asked, const std::string& final) {
    return !asked.empty() && !final.empty() && ComparablePath(asked) == ComparablePath(final);
}

bool AtOrBelow(const std::string& path, const std::string& folder) {
    const std::string p = ComparablePath(path), f = ComparablePath(folder);
    if (f.empty() || p.compare(0, f.size(), f) != 0)
        return false;
    return p.size() == f.size() || IsSeparator(p[f.size()]) || IsSeparator(f.back());
}

bool InGuardedScope(const std::string& path, const std::vector<std::string>& folders) {
    for (const std::string& folder : folders)
        if (AtOrBelow(path, folder))
            return true;
    return false;
}

void AddGuardedFolder(const std::string& folder) {
    if (!folder.empty())
        Folders().push_back(folder);
}

const std::vector<std::string>& GuardedFolders() {
    return Folders();
}
