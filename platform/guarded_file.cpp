#include "platform/guarded_file.h"

namespace {
bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool IsLink(unsigned long attributes) {
    return attributes != kNoAttributes && (attributes & kReparsePointAttribute) != 0;
}
} // namespace

std::vector<std::string> FoldersOnTheWay(const std::string& fullPath) {
    std::vector<std::string> folders;
    std::size_t root = 0;
    while (root < fullPath.size() && !IsSeparator(fullPath[root]))
        ++root;
    for (std::size_t i = root + 1; i < fullPath.size(); ++i)
        if (IsSeparator(fullPath[i]) && !IsSeparator(fullPath[i - 1]))
            folders.push_back(fullPath.substr(0, i));
    return folders;
}

GuardVerdict JudgeGuardedPath(const std::vector<unsigned long>& folderAttributes,
                              unsigned long fileAttributes, unsigned long linkCount,
                              bool singleName) {
    for (unsigned long attributes : folderAttributes)
        if (IsLink(attributes))
            return GuardVerdict::LinkOnTheWay;
    if (IsLink(fileAttributes))
        return GuardVerdict::FileIsLink;
    if (singleName && linkCount > 1)
        return GuardVerdict::OtherHardLinks;
    return GuardVerdict::Allowed;
}

const char* RefusalText(GuardVerdict verdict) {
    switch (verdict) {
    case GuardVerdict::LinkOnTheWay:
        return "a folder on its way is a link";
    case GuardVerdict::FileIsLink:
        return "it is a link";
    case GuardVerdict::OtherHardLinks:
        return "it has another name (hard link)";
    case GuardVerdict::Allowed:
        break;
    }
    return nullptr;
}
