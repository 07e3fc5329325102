// "Everyone" full-access entries on the product's folders and received files.
#pragma once

constexpr unsigned long kGenericAll = 0x10000000UL;
constexpr unsigned long kAttributeDirectory = 0x10;     // FILE_ATTRIBUTE_DIRECTORY
constexpr unsigned long kAttributeReparsePoint = 0x400; // FILE_ATTRIBUTE_REPARSE_POINT

// Opens path without following a reparse point and grants on it; a reparse point (junction or
// symbolic link) is left alone (0).
int AddAceToFileSecurity(const char* path, const char* account, unsigned long mask);
void SetFolderPermissions(const char* folder, int recurse);
void SetOrvanePermissions();

// What the walk of a folder listing does with one entry (portable decision).
enum class WalkStep {
    Skip,            // "..": the parent is none of the walk's business; a reparse point
    Grant,           // the entry gets the grant
    GrantAndDescend, // a folder of a recursive walk: granted, then its own listing walked
};
WalkStep ChooseWalkStep(const char* name, unsigned long attributes, bool recurse);
