// The list of names offered by the server, kept one per line in "FileNames.txt" in the
// working folder while a download-mode session chooses a file (portable part).
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

constexpr char kFileNamesPath[] = "FileNames.txt";
constexpr std::size_t kListLineCapacity = 100; // a list line keeps at most 99 characters

// The list holds at most this many names and this many bytes: a server cannot fill the disk.
constexpr int kMaxListedNames = 10000;
constexpr long kMaxFileListBytes = 4L << 20;
// Whether one more name fits after fileCount names in the list at path (its line end counted as
// two bytes, as a text-mode write on Windows makes it).
bool ListHasRoom(const char* path, int fileCount, const char* name);

// Appends "name\n"; false when the file cannot be opened.
bool AppendFileNameLine(const char* path, const char* name);

// Reads the next line of `file` into out: the whole line is consumed, at most outSize - 1 of
// its characters are kept, and every byte outside 0x20..0x7E is removed. False at the end.
bool ReadListLine(std::FILE* file, char* out, std::size_t outSize);

// Every line of the file, cleaned as ReadListLine does; empty when the file does not open.
std::vector<std::string> ReadListLines(const char* path);

// The cleaned line at list position `position` (0 = first line): the list keeps the order of
// the lines, so a position is a line number. False when the file or the line is missing.
bool ListLineAt(const char* path, int position, char* out, std::size_t outSize);

// A selected position counts only when it is one of the names offered.
bool IsValidListPosition(int position, int fileCount);

// A chosen name must fit RequestedFileName (64 bytes: at most 63 characters).
bool FitsRequestedFileName(const char* name);
