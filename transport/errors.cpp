#include "transport/transport_errors.h"
#include "platform/guarded_file.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "transport/klv_socket.h"

namespace {

struct ErrorText {
    int number;
    const char* text;
};

// Windows Sockets error numbers and their texts, in ascending order.
constexpr ErrorText kErrorTexts[] = {
    {10000, "WSABASEERR: No Error"},
    {10004, "WSAEINTR: Interrupted system call"},
    {10009, "WSAEBADF: Bad file number"},
    {10013, "WSAEACCES: Permission denied"},
    {10014, "WSAEFAULT: Bad address"},
    {10022, "WSAEINVAL: Invalid argument"},
    {10024, "WSAEMFILE: Too many open files"},
    {10035, "WSAEWOULDBLOCK: Operation would block"},
    {10036, "WSAEINPROGRESS: Operation now in progress"},
    {10037, "WSAEALREADY: Operation already in progress"},
    {10038, "WSAENOTSOCK: Socket operation on nonsocket"},
    {10039, "WSAEDESTADDRREQ: Destination address required"},
    {10040, "WSAEMSGSIZE: Message too long"},
    {10041, "WSAEPROTOTYPE: Protocol wrong type for socket"},
    {10042, "WSAENOPROTOOPT: Bad protocol option"},
    {10043, "WSAEPROTONOSUPPORT: Protocol not supported"},
    {10044, "WSAESOCKTNOSUPPORT: Socket type not supported"},
    {10045, "WSAEOPNOTSUP: Operation not supported on socket"},
    {10046, "WSAEPFNOSUPPORT: Protocol family not supported"},
    {10047, "WSAEAFNOSUPPORT: Address family not supported"},
    {10048, "WSAEADDRINUSE: Address already in use"},
    {10049, "WSAEADDRNOTAVAIL: Cannot assign requested address"},
    {10050, "WSAENETDOWN: Network is down"},
    {10051, "WSAENEWUNREACH: Network is unreachable"},
    {10052, "WSAENETRESET: Net dropped connection or reset"},
    {10053, "WSAECONNABORTED: Software caused connection abort"},
    {10054, "WSAECONNRESET: connection reset by peer"},
    {10055, "WSAENOBUFS: No buffer space available"},
    {10056, "WSAEISCONN: Socket is already connected"},
    {10057, "WSAENOTCONN: Socket is not connected"},
    {10058, "WSAESHUTDOWN: Cannot send after socket shutdown"},
    {10059, "WSAETOOMANYREFS: Too many references, connot splice"},
    {10060, "WSAETIMEDOUT: Connection timed out"},
    {10061, "WSAECONNREFUSED: Connection refused\n          orvsrvr may not be running"},
    {10062, "WSAELOOP: Too many levels of symbolic links"},
    {10063, "WSAENAMETOOLONG: File name too long"},
    {10064, "WSAEHOSTDOWN: Host is down"},
    {10065, "WSAEHOSTUNREACH: No route to host"},
    {10066, "WSAENOTEMPTY: Directory not empty"},
    {10067, "WSAEPROCLIM: Too manu processes"},
    {10068, "WSAEUSERS: Too many users"},
    {10069, "WSAEDQUOT: Disk quota exceeded"},
    {10070, "WSAESTALE: Stale NFS file handle"},
    {10071, "WSAEREMOTE: Too many levels of remote in path"},
    {10091, "WSASYSNOTREADY: Network subsystem is unavailable"},
    {10092, "WSAVERNOTSUPPORTED: WINDOCK DLL version out of range"},
    {10093, "WSANOTINITIALISED: WSASTARTUP not yet performed"},
    {11001, "WSAHOST_NOT_FOUND: Host not found"},
    {11002, "WSATRY_AGAIN: Nonauthoritative host not found"},
    {11003, "WSANO_RECOVERY: Nonrecoverable error"},
    {11004, "WSANODATA: no data record of requested type"},
};

std::string g_logFolder =
#ifdef _WIN32
    "c:\\orvane\\bin";
#else
    "";
#endif
// A file in the log folder; empty while no folder is set.
std::string LogFolderFile(const char* name) {
#ifdef _WIN32
    const char* separator = "\\";
#else
    const char* separator = "/";
#endif
    return g_logFolder.empty() ? std::string() : g_logFolder + separator + name;
}

TransportError g_missingEntry; // the first missing entry point, until taken

} // namespace

// Name of the active window for the log (class name on Windows) and the last system error
// number; defined per platform.
void ActiveWindowNameForLog(char* out, int outSize);
int LastSystemError();

void WinsockErrorText(int number, char* out) {
    for (const ErrorText& row : kErrorTexts) {
        if (row.number == number) {
            std::snprintf(out, kWinsockErrorTextCapacity, "%s", row.text);
            return;
        }
    }
    std::snprintf(out, kWinsockErrorTextCapacity, "Error # %d", number);
}

void NoteMissingEntryFailure(const char* text) {
    if (g_missingEntry)
        return;
    g_missingEntry.failure = TransportFailure::MissingEntry;
    g_missingEntry.caption = "ERROR";
    std::snprintf(g_missingEntry.text, sizeof g_missingEntry.text, "%s", text);
}

bool TakeMissingEntryFailure(TransportError* out) {
    if (!g_missingEntry)
        return false;
    *out = g_missingEntry;
    g_missingEntry = TransportError();
    return true;
}

TransportError ErrorFailure(const char* text, int number, int options) {
    const int systemError = LastSystemError(); // before anything else can change it
    TransportError error;
    error.failure = TransportFailure::Error;
    error.caption = "Error";
    if (options & 1)
        std::snprintf(error.text, sizeof error.text, "ERROR!\n\nError %d in %s\n>> %s <<",
                      systemError, text, std::strerror(systemError));
    else if (number > 0)
        std::snprintf(error.text, sizeof error.text, "ERROR!\n\nError %d in %s", number, text);
    else
        std::snprintf(error.text, sizeof error.text, "ERROR!\n\n%s", text);
    return error;
}

TransportError WinsockFailure(int number, const char* text) {
    char errorText[kWinsockErrorTextCapacity];
    WinsockErrorText(number, errorText);
    TransportError error;
    error.failure = TransportFailure::Winsock;
    error.caption = "WinSock Error";
    std::snprintf(error.text, sizeof error.text, "%s failed\n\n%s", text, errorText);
    return error;
}

void SetLibraryLogFolder(const char* folder) {
    g_logFolder = folder ? folder : "";
}

int IsLibraryDebuggingOn() {
    std::string switchPath = LogFolderFile("KLVLIB_DEBUGGING_ON.txt");
    if (switchPath.empty())
        return 0;
    std::FILE* marker = OpenGuardedFile(switchPath.c_str(), "r");
    if (!marker)
        return 0;
    std::fclose(marker);
    return 1;
}

void LogWinsockError(int number, const char* text) {
    if (!IsLibraryDebuggingOn())
        return;
    if (number == KLV_WSAENOTSOCK || number == KLV_WSAECONNABORTED)
        return;
    char className[261] = "";
    char errorText[kWinsockErrorTextCapacity];
    char message[504];
    ActiveWindowNameForLog(className, 260);
    WinsockErrorText(number, errorText);
    std::snprintf(message, sizeof message, "%s failed %s", text, errorText);
    std::FILE* log = OpenGuardedFile(LogFolderFile("klvlib.log").c_str(), "a");
    if (!log)
        return;
    const std::time_t now = std::time(nullptr);
    const char* stamp = std::ctime(&now);
    std::fprintf(log, "%s", stamp ? stamp : "\n");
    std::fprintf(log, "%s\n", className);
    std::fprintf(log, "%s\n\n", message);
    std::fclose(log);
}
