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
// The "Error" failure ReportError shows and the "WinSock Error" one ReportWinsockError shows.
TransportError ErrorFailure(const char* text, int number, int options);
TransportError WinsockFailure(int number, const char* text);
// Where a step that was given no place for its failure reports it: the application decides
// how failures are shown (boxes); until it sets a sink (or after it sets null) each failure is
// written to standard error as "[<caption>] <text>".
using TransportErrorSink = void (*)(void* context, TransportFailure failure, const char* caption,
                                    const char* text);
void SetTransportErrorSink(TransportErrorSink sink, void* context);
void ReportTransportFailure(TransportFailure failure, const char* caption, const char* text);
void ReportTransportFailure(const TransportError& error);
// Hands the failure to *out when given, otherwise reports it.
void PassOrReport(const TransportError& error, TransportError* out);

// Native hosts choose the folder that holds klvlib.log and its switch file.
void SetLibraryLogFolder(const char* folder);
// Native hosts: the name logged in place of the active window's class name (default empty).
void SetLibraryLogWindowName(const char* name);
