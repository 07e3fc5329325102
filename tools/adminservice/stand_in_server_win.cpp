// Serving requests, one thread per connection: identify the process at the other end, read one
// frame within the deadline, check the record against what the installer sends, then start the
// program or hand the connection over to the elevated helper.
#include <winsock2.h>
#include <windows.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "install/admin_request.h"
#include "tools/adminservice/helper_window_win.h"
#include "tools/adminservice/stand_in_win.h"
#include "tools/adminservice/stand_in_peer_win.h"
#include "tools/adminservice/stand_in_policy.h"
#include "tools/adminservice/stand_in_trust_win.h"
#include "platform/system_library_win.h"
#include "platform/byte_order.h"
#include "transport/framing.h"
#include "transport/protection.h"
#include "transport/klv_socket.h"
#include "transport/transport_errors.h"

namespace {
constexpr DWORD kRecordDeadlineMs = 10000;
// Every record the installer sends is under 1000 bytes; a larger frame is not one of them.
constexpr std::int32_t kLargestFrameBody = 4096;
constexpr LONG kMostConnections = 16;
constexpr std::size_t kCommandCapacity = 2048;

volatile LONG activeConnections = 0;

const char* KindName(std::int32_t kind) {
    switch (kind) {
    case ADMIN_REQUEST_CREATE_PROCESS:
        return "1";
    case ADMIN_REQUEST_CREATE_PROCESS_USER:
        return "16";
    case ADMIN_REQUEST_SET_PERMISSIONS:
        return "5";
    }
    return "?";
}

enum class Received { All, Closed, Failed, Late };

// Receives exactly length bytes before the connection's deadline (10 s after it was accepted), so
// a peer that trickles bytes is dropped on time and one that closes is seen at once.
Received ReceiveBefore(const Connection& c, unsigned char* into, int length) {
    int got = 0;
    while (got < length) {
        DWORD elapsed = GetTickCount() - c.acceptedAt;
        if (elapsed >= kRecordDeadlineMs)
            return Received::Late;
        DWORD wait = kRecordDeadlineMs - elapsed < 500 ? kRecordDeadlineMs - elapsed : 500;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(c.socket, &readable);
        timeval limit{0, static_cast<long>(wait * 1000)};
        int ready = select(0, &readable, nullptr, nullptr, &limit);
        if (ready == SOCKET_ERROR)
            return Received::Failed;
        if (ready == 0)
            continue;
        int n = recv(c.socket, reinterpret_cast<char*>(into + got), length - got, 0);
        if (n == 0)
            return Received::Closed;
        if (n < 0)
            return Received::Failed;
        got += n;
    }
    return Received::All;
}

const char* ReceiveFailure(Received r, bool inHeader) {
    switch (r) {
    case Received::Closed:
        return inHeader ? "connection dropped: closed by the client before a whole frame header"
                        : "request dropped: closed by the client before the whole record";
    case Received::Late:
        return "request dropped: no complete record within 10 seconds";
    default:
        return "connection dropped: receive failed";
    }
}

// Reads the connection's first frame (any later frame stays on the socket for the helper) and
// removes its protection and compression. *record is a malloc block the caller frees; false,
// with the reason logged, otherwise.
bool ReadRecord(const Connection& c, unsigned char** record, std::int32_t* length) {
    unsigned char header[6];
    Received r = ReceiveBefore(c, header, sizeof header);
    if (r != Received::All) {
        StandInLog("%s", ReceiveFailure(r, true));
        return false;
    }
    std::int32_t bodyLength = static_cast<std::int32_t>(LoadLe32(header + 2));
    if (header[1] != PROT_BLOWFISH) {
        StandInLog("malformed request dropped: frame protection %d, not Blowfish", header[1]);
        return false;
    }
    if (bodyLength <= 0 || bodyLength > kLargestFrameBody) {
        StandInLog("malformed request dropped: frame body length %ld",
                   static_cast<long>(bodyLength));
        return false;
    }
    unsigned char* body = static_cast<unsigned char*>(std::malloc(bodyLength + 1));
    if (!body) {
        StandInLog("request dropped: out of memory");
        return false;
    }
    r = ReceiveBefore(c, body, bodyLength);
    if (r != Received::All) {
        StandInLog("%s", ReceiveFailure(r, false));
        std::free(body);
        return false;
    }
    UnprotectMessage(body, static_cast<std::size_t>(bodyLength), PROT_BLOWFISH);
    *length = bodyLength;
    if (header[0] != 0 && !UncompressMessageWithLimit(&body, length, kLargestFrameBody)) {
        StandInLog("malformed request dropped: the frame could not be decoded");
        std::free(body);
        return false;
    }
    *record = body;
    return true;
}

// The helper is one of the files every user may replace: under the policy it is checked like
// any other program, and held from the check to its start.
void HandOver(SOCKET s, const char* application, char* command, std::int32_t kind) {
    DWORD pid = 0;
    HANDLE process = nullptr;
    HANDLE held = INVALID_HANDLE_VALUE;
    if (!StandInTrusts(KindName(kind), command, application, &held))
        return;
    const bool started = StandInStart(application, command, nullptr, held, &pid, &process);
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    if (!started) {
        StandInLog("kind %s command \"%s\": hand-over failed, the helper could not be started "
                   "(error %lu)",
                   KindName(kind), command, GetLastError());
        return;
    }
    HWND window = WaitForHelperWindow(pid, process, kHelperWindowWaitMs);
    if (!window) {
        bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        CloseHandle(process);
        StandInLog("kind %s command \"%s\": hand-over failed, helper pid %lu %s", KindName(kind),
                   command, pid,
                   ended ? "ended without showing its window"
                         : "showed no window of class \"InstallAdminProcess\" within 10 seconds");
        return;
    }
    CloseHandle(process);
    WSAPROTOCOL_INFOA info{};
    if (WSADuplicateSocketA(s, pid, &info) != 0) {
        StandInLog("kind %s command \"%s\": hand-over failed, WSADuplicateSocketA error %d",
                   KindName(kind), command, WSAGetLastError());
        return;
    }
    COPYDATASTRUCT data{};
    data.cbData = sizeof info;
    data.lpData = &info;
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL,
                             kHelperWindowWaitMs, &result)) {
        StandInLog("kind %s command \"%s\": hand-over failed, WM_COPYDATA to helper pid %lu not "
                   "delivered (error %lu)",
                   KindName(kind), command, pid, GetLastError());
        return;
    }
    StandInLog("kind %s command \"%s\": connection handed over to helper pid %lu", KindName(kind),
               command, pid);
}

// Kind 16: in the caller's session, as the user logged on there; never as the service itself.
void StartInCallersSession(const Peer& peer, const char* application, char* command, HANDLE held) {
    DWORD session = 0;
    DWORD whose = peer.identified ? peer.pid : GetCurrentProcessId();
    if (!ProcessIdToSessionId(whose, &session)) {
        StandInLog("kind 16 command \"%s\": not started, the caller's session is unknown "
                   "(error %lu)",
                   command, GetLastError());
        return;
    }
    HANDLE token = nullptr;
    DWORD pid = 0;
    // The terminal services library is not one of the system's known libraries.
    using QueryToken = BOOL(WINAPI*)(ULONG, PHANDLE);
    auto queryToken = reinterpret_cast<QueryToken>(
        reinterpret_cast<void*>(SystemFunction("wtsapi32.dll", "WTSQueryUserToken")));
    if (queryToken == nullptr || !queryToken(session, &token)) {
        StandInLog("kind 16 command \"%s\": not started, no user token for session %lu "
                   "(error %lu)",
                   command, session, GetLastError());
        return;
    }
    bool started = StandInStart(application, command, token, held, &pid, nullptr);
    DWORD error = GetLastError();
    CloseHandle(token);
    if (started)
        StandInLog("kind 16 command \"%s\": started in session %lu, pid %lu", command, session,
                   pid);
    else
        StandInLog("kind 16 command \"%s\": could not be started in session %lu (error %lu)",
                   command, session, error);
}

// A request that passed every check: started, as the service or in the caller's session.
void StartChecked(const Peer& peer, std::int32_t kind, const char* application, char* command,
                  HANDLE held) {
    if (kind == ADMIN_REQUEST_CREATE_PROCESS_USER) {
        StartInCallersSession(peer, application, command, held);
        return;
    }
    DWORD pid = 0;
    if (StandInStart(application, command, nullptr, held, &pid, nullptr))
        StandInLog("kind %s command \"%s\": started, pid %lu", KindName(kind), command, pid);
    else
        StandInLog("kind %s command \"%s\": could not be started (error %lu)", KindName(kind),
                   command, GetLastError());
}

void Serve(const Connection& c) {
    Peer peer{};
    if (!CheckPeer(c, &peer))
        return;
    unsigned char* record = nullptr;
    std::int32_t length = 0;
    if (!ReadRecord(c, &record, &length))
        return;
    ParsedAdminRequest request{};
    AdminParseResult parsed = ParseAdminRequest(record, static_cast<std::size_t>(length), &request);
    if (parsed != AdminParseResult::Ok) {
        StandInLog("malformed request dropped: %s (%d bytes, kind %ld)",
                   AdminParseResultText(parsed), static_cast<int>(length),
                   static_cast<long>(request.kind));
        std::free(record);
        return;
    }
    if (request.kind == ADMIN_REQUEST_SET_PERMISSIONS) {
        StandInLog("kind 5 request outside a hand-over ignored");
        std::free(record);
        return;
    }
    char command[kCommandCapacity];
    if (!AdminCommandLine(request.program, request.arguments, command, sizeof command)) {
        StandInLog("kind %s request dropped: empty or over-long command line",
                   KindName(request.kind));
        std::free(record);
        return;
    }
    std::int32_t kind = request.kind;
    StandInCommandCheck check =
        CheckStandInCommand(kind, request.program, request.arguments, peer.localFolder);
    std::free(record);
    switch (check.verdict) {
    case StandInCommand::Refused:
        StandInLog("kind %s command \"%s\": refused, %s", KindName(kind), command, check.reason);
        return;
    case StandInCommand::Helper:
        HandOver(c.socket, check.application, command, kind);
        return;
    case StandInCommand::Installer: {
        UINT folder = GetSystemDirectoryA(check.application, sizeof check.application - 16);
        if (folder == 0 || folder >= sizeof check.application - 16) {
            StandInLog("kind %s command \"%s\": the system folder is unknown", KindName(kind),
                       command);
            return;
        }
        std::strcat(check.application, "\\msiexec.exe");
        break;
    }
    case StandInCommand::Program:
        break;
    }
    // From the signature check to the start the file is held: read only, no writing or deleting.
    HANDLE held = INVALID_HANDLE_VALUE;
    const char* file =
        check.verdict == StandInCommand::Installer ? check.package : check.application;
    if (!StandInTrusts(KindName(kind), command, file, &held))
        return;
    StartChecked(peer, kind, check.application, command, held);
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
}

DWORD WINAPI ServeConnection(void* parameter) {
    Connection* c = static_cast<Connection*>(parameter);
    Serve(*c);
    closesocket(c->socket);
    delete c;
    InterlockedDecrement(&activeConnections);
    return 0;
}

SOCKET OpenListener() {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        return INVALID_SOCKET;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kStandInPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0;; ++attempt) {
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(listener, SOMAXCONN) == 0)
            return listener;
        if (attempt == 25) {
            StandInLog("cannot listen on 127.0.0.1:%u (error %d)", kStandInPort, WSAGetLastError());
            closesocket(listener);
            return INVALID_SOCKET;
        }
        Sleep(200);
    }
}
// A missing entry point of the socket library goes to the stand-in's log: a service has no one
// to answer a box.
void LogMissingEntry() {
    TransportError failure;
    if (TakeMissingEntryFailure(&failure))
        StandInLog("%s: %s", failure.caption, failure.text);
}

} // namespace

int RunStandInServer(volatile LONG* stop) {
    loadWinsockLibrary();
    TransportError failure;
    if (!IsWinsockLibraryLoaded() || !initWsockDLL(&failure)) {
        if (failure)
            StandInLog("%s: %s", failure.caption, failure.text);
        StandInLog("Windows Sockets could not be started");
        return 1;
    }
    SOCKET listener = OpenListener();
    if (listener == INVALID_SOCKET) {
        cleanupWinsock();
        return 1;
    }
    StandInLog("listening on 127.0.0.1:%u", kStandInPort);
    while (!*stop) {
        LogMissingEntry();
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        timeval wait{0, 500 * 1000};
        int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready <= 0)
            continue;
        sockaddr_in peer{};
        int peerLength = sizeof peer;
        SOCKET s = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (s == INVALID_SOCKET) {
            Sleep(100); // out of resources: wait instead of spinning
            continue;
        }
        if (InterlockedIncrement(&activeConnections) > kMostConnections) {
            InterlockedDecrement(&activeConnections);
            StandInLog("connection refused: %ld connections are being served", kMostConnections);
            closesocket(s);
            continue;
        }
        DWORD timeout = kRecordDeadlineMs;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof timeout);
        Connection* c = new Connection{s, peer, GetTickCount()};
        HANDLE thread = CreateThread(nullptr, 0, ServeConnection, c, 0, nullptr);
        if (thread) {
            CloseHandle(thread);
        } else {
            StandInLog("connection dropped: no thread to serve it (error %lu)", GetLastError());
            closesocket(s);
            delete c;
            InterlockedDecrement(&activeConnections);
        }
    }
    // Connections being served end by their own deadlines.
    for (int i = 0; i < 250 && activeConnections > 0; ++i)
        Sleep(100);
    closesocket(listener);
    cleanupWinsock();
    StandInLog("stopped");
    return 0;
}
