// Transport error texts, the failures the transport reports and the library log (klvlib.log).
#pragma once
#include <cstddef>

constexpr int kWinsockErrorTextCapacity = 73;

void WinsockErrorText(int number, char* out);                // out: at least 73 bytes
void ReportError(const char* text, int number, int options); // options bit 1: last system error
void ReportWinsockError(int number, const char* text);
void LogWinsockError(int number, const char* text);
int IsLibraryDebuggingOn();

// What the transport reports, each with the caption and text of its box.
enum class TransportFailure {
    Error,        // "Error": ReportError
    Winsock,      // "WinSock Error": ReportWinsockError
    MissingEntry, // "ERROR": the socket library lacks an entry point; the program ends
};
// The application decides how failures are shown (boxes); until it sets a sink (or after it
// sets null) each failure is written to standard error as "[<caption>] <text>".
using TransportErrorSink = void (*)(void* context, TransportFailure failure, const char* caption,
                                    const char* text);
void SetTransportErrorSink(TransportErrorSink sink, void* context);
void ReportTransportFailure(TransportFailure failure, const char* caption, const char* text);

// Native hosts choose the folder that holds klvlib.log and its switch file.
void SetLibraryLogFolder(const char* folder);
// Native hosts: the name logged in place of the active window's class name (default empty).
void SetLibraryLogWindowName(const char* name);
