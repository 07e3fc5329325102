// Where the guarded rules of platform/guarded_file.h apply, and how a path the system reports
// for an open file is compared with the path asked for. Paths are compared in one spelling:
// "\\?\" (and "\\?\UNC\") prefixes dropped, either separator, "." and ".." resolved, repeated
// and trailing separators dropped, letters A-Z without regard to case.
#pragma once
#include <string>
#include <vector>

std::string ComparablePath(const std::string& path);
// Whether the final path of an open handle (as the system reports it) names the file asked for.
bool SameFinalPath(const std::string& asked, const std::string& final);
// Whether path is folder itself or lies below it ("C:\KLV2" is not below "C:\KLV").
bool AtOrBelow(const std::string& path, const std::string& folder);
bool InGuardedScope(const std::string& path, const std::vector<std::string>& folders);

// The process's guarded folders: C:\orvane and C:\KLV (the transfer folder lies below it), and
// those the command line adds (the -D folder). Set up at start-up, before any file is opened.
void AddGuardedFolder(const std::string& folder);
const std::vector<std::string>& GuardedFolders();
