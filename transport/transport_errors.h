// Transport error texts, error boxes and the library log (klvlib.log).
#pragma once

constexpr int kWinsockErrorTextCapacity = 73;

void WinsockErrorText(int number, char* out); // out: at least 73 bytes
void ShowErrorBox(const char* text, int number, int options); // options bit 1: last system error
void ShowWinsockError(int number, const char* text);
void LogWinsockError(int number, const char* text);
int IsLibraryDebuggingOn();

// Native hosts choose the folder that holds klvlib.log and its switch file.
void SetLibraryLogFolder(const char* folder);
