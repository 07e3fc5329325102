// Transport error texts, the failures the transport reports and the library log (klvlib.log).
#pragma once
#include <cstddef>

constexpr int kWinsockErrorTextCapacity = 73;

void WinsockErrorText(int number, char* out); // out: at least 73 bytes
void LogWinsockError(int number, const char* text);
int IsLibraryDebuggingOn();

// What the transport hands back, each with the caption and text of its box.
enum class TransportFailure {
    Error,        // "Error": ErrorFailure
    Winsock,      // "WinSock Error": WinsockFailure
    MissingEntry, // "ERROR": the socket library lacks an entry point; the program ends
    None,         // no failure
};
// A failure handed back to the caller, who decides how and when it is shown: its kind and the
// caption and text of its box. A default one holds no failure.
struct TransportError {
    TransportFailure failure = TransportFailure::None;
    const char* caption = "";
    char text[200] = "";
    explicit operator bool() const { return failure != TransportFailure::None; }
};
// The "Error" failure (options bit 1: with the last system error) and the "WinSock Error" one.
TransportError ErrorFailure(const char* text, int number, int options);
TransportError WinsockFailure(int number, const char* text);
// The transport shows nothing: every failure goes back to the caller that asked for it. The one
// failure no call can hand back, a missing entry point of the socket library (the bound call
// returns 0 and the program is asked to end), is kept here until the program takes it; the first
// one counts.
bool TakeMissingEntryFailure(TransportError* out);
void NoteMissingEntryFailure(const char* text);

// Native hosts choose the folder that holds klvlib.log and its switch file.
void SetLibraryLogFolder(const char* folder);
// Native hosts: the name logged in place of the active window's class name (default empty).
void SetLibraryLogWindowName(const char* name);
