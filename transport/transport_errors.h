// Transport error texts, error boxes and the library log (klvlib.log).
#pragma once
#include <cstddef>

constexpr int kWinsockErrorTextCapacity = 73;

void WinsockErrorText(int number, char* out);                 // out: at least 73 bytes
void ShowErrorBox(const char* text, int number, int options); // options bit 1: last system error
void ShowWinsockError(int number, const char* text);
void LogWinsockError(int number, const char* text);
int IsLibraryDebuggingOn();

// Native hosts choose the folder that holds klvlib.log and its switch file.
void SetLibraryLogFolder(const char* folder);

// Box texts as the boxes show them (cut to outSize). FormatErrorBoxText takes the system error
// number and its text for options bit 1 from the caller.
void FormatErrorBoxText(char* out, std::size_t outSize, const char* text, int number, int options,
                        int systemError, const char* systemErrorText);
void FormatWinsockErrorBoxText(char* out, std::size_t outSize, int number, const char* text);
// Native hosts: the name logged in place of the active window's class name (default empty).
void SetLibraryLogWindowName(const char* name);
