// "Everyone" full-access entries on the product's folders and received files.
#pragma once

constexpr unsigned long kGenericAll = 0x10000000UL;
constexpr unsigned long kAttributeDirectory = 0x10;     // FILE_ATTRIBUTE_DIRECTORY
constexpr unsigned long kAttributeReparsePoint = 0x400; // FILE_ATTRIBUTE_REPARSE_POINT

// Opens path without following a reparse point and grants on it; a reparse point (junction or
// symbolic link), or a handle whose final path is not path, is left alone (0).
int AddAceToFileSecurity(const char* path, const char* account, unsigned long mask);
// Lists the folder through its own handle and grants on each entry through the entry's handle,
// opened relative to the folder's.
void SetFolderPermissions(const char* folder, int recurse);
void SetOrvanePermissions();
// C:\KLV, C:\orvane\winsupport and C:\KLV\transfer, open to everyone, each made relative to
// its checked parent's handle; a link in a folder's place is left alone.
void CreateProductFolders();

// What the walk of a folder listing does with one entry (portable decision), from the
// attributes and link count the entry's own handle reports.
enum class WalkStep {
    Skip,            // "..": the parent is none of the walk's business; a reparse point; a
                     // file with another name (hard link) that may lie anywhere
    Grant,           // the entry gets the grant
    GrantAndDescend, // a folder of a recursive walk: granted, then its own listing walked
};
WalkStep ChooseWalkStep(const char* name, unsigned long attributes, unsigned long linkCount,
                        bool recurse);
