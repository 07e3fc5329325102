// Files in folders that every local user may change (the product's folders are open to
// everyone). At and below the guarded folders (platform/guarded_scope.h) a path is used only
// when no folder on its way below the drive root, and not the file itself, is a link (a junction
// or symbolic link: a reparse point); a file is read or written only when it has no other name
// (hard link) that could lie outside those folders, and only when the open handle's final path
// is the path asked for. Files are opened without following a link; deletes go through a handle
// opened that way, moves name their target relative to the checked target folder's handle.
// Elsewhere a file opens plainly.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

constexpr unsigned long kReparsePointAttribute = 0x400;
constexpr unsigned long kNoAttributes = 0xFFFFFFFFul; // the path does not exist

// The folders a full path passes below its root: "C:\a\b\f.txt" gives "C:\a" and "C:\a\b";
// "/a/b/f" gives "/a" and "/a/b". Both separators count.
std::vector<std::string> FoldersOnTheWay(const std::string& fullPath);

enum class GuardVerdict {
    Allowed,
    LinkOnTheWay,   // a folder on the way is a link
    FileIsLink,     // the file itself is a link
    OtherHardLinks, // reading or writing a file that has another name
};

// folderAttributes: each folder on the way (kNoAttributes when it does not exist); the file's
// attributes and link count as its handle reports them; singleName: the file is read or written
// (a delete or move touches one name only).
GuardVerdict JudgeGuardedPath(const std::vector<unsigned long>& folderAttributes,
                              unsigned long fileAttributes, unsigned long linkCount,
                              bool singleName);

// fopen's modes "r", "rb", "w", "wb", "a", "ab"; null (nothing opened, nothing truncated) when
// the file does not open or the path is refused. refusal, when given, is set to why the path
// was refused (see RefusalText), or to null when it was not.
std::FILE* OpenGuardedFile(const char* path, const char* mode, const char** refusal = nullptr);
// Why a path was refused, for Install.log: "a folder on its way is a link", "it is a link",
// "it has another name (hard link)", "it opened as another file".
const char* RefusalText(GuardVerdict verdict);
constexpr const char* kOpenedAnotherFile = "it opened as another file";
// Removes a file (false when it is not there or the path is refused).
bool RemoveGuardedFile(const char* path);
// Moves a file to another name in a folder whose way is clear; replace tells whether an
// existing file of that name is replaced.
bool MoveGuardedFile(const char* from, const char* to, bool replace);
