// "Everyone" full-access entries on the product's folders and received files.
#pragma once

constexpr unsigned long kGenericAll = 0x10000000UL;

int AddAceToFileSecurity(const char* path, const char* account, unsigned long mask);
void SetFolderPermissions(const char* folder, int recurse);
void SetOrvanePermissions();
