// Serving one request per connection: read one frame, check the record, start the program or
// hand the connection over to the elevated helper.
#include <winsock2.h>
#include <windows.h>
#include <wtsapi32.h>

#include <cstring>

#include "install/admin_request.h"
#include "tools/adminservice/helper_window.h"
#include "tools/adminservice/stand_in.h"
#include "transport/framing.h"
#include "transport/klv_socket.h"

namespace {
constexpr int kFirstByteWaitMs = 5000;
constexpr std::int32_t kLargestRecord = 64 * 1024;
constexpr std::size_t kCommandCapacity = 2048;

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

// Waits until the whole 6-byte header can be seen without taking it; false on close or timeout.
bool PeekHeader(SOCKET s, unsigned char header[6], const char** why) {
    DWORD start = GetTickCount();
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval wait{0, 200 * 1000};
        int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready == SOCKET_ERROR) {
            *why = "select failed";
            return false;
        }
        if (ready > 0) {
            int n = recv(s, reinterpret_cast<char*>(header), 6, MSG_PEEK);
            if (n == 0) {
                *why = "closed by the client before a whole frame header";
                return false;
            }
            if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
                *why = "receive failed";
                return false;
            }
            if (n == 6)
                return true;
            Sleep(20);
        }
        if (GetTickCount() - start > static_cast<DWORD>(kFirstByteWaitMs)) {
            *why = "no whole frame header within 5 seconds";
            return false;
        }
    }
}

bool StartDirect(char* command, DWORD* pid, HANDLE* process) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        return false;
    CloseHandle(info.hThread);
    *pid = info.dwProcessId;
    if (process)
        *process = info.hProcess;
    else
        CloseHandle(info.hProcess);
    return true;
}

// Kind 16: start in the named session; false (with the reason) when that session's user token is
// not available, so the caller falls back to a plain start.
bool StartInSession(DWORD session, char* command, DWORD* pid, DWORD* error) {
    HANDLE token = nullptr;
    if (!WTSQueryUserToken(session, &token)) {
        *error = GetLastError();
        return false;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = const_cast<char*>("winsta0\\default");
    PROCESS_INFORMATION info{};
    BOOL ok = CreateProcessAsUserA(token, nullptr, command, nullptr, nullptr, FALSE,
                                   CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                                   &startup, &info);
    *error = ok ? 0 : GetLastError();
    CloseHandle(token);
    if (!ok)
        return false;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    *pid = info.dwProcessId;
    return true;
}

void HandOver(SOCKET s, char* command, std::int32_t kind) {
    DWORD pid = 0;
    HANDLE process = nullptr;
    if (!StartDirect(command, &pid, &process)) {
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

void Serve(SOCKET s) {
    unsigned char header[6];
    const char* why = "";
    if (!PeekHeader(s, header, &why)) {
        StandInLog("connection dropped: %s", why);
        return;
    }
    std::int32_t bodyLength =
        static_cast<std::int32_t>(header[2] | (header[3] << 8) | (header[4] << 16) |
                                  (static_cast<unsigned>(header[5]) << 24));
    if (header[1] != PROT_BLOWFISH) {
        StandInLog("malformed request dropped: frame protection %d, not Blowfish", header[1]);
        return;
    }
    if (bodyLength <= 0 || bodyLength > kLargestRecord) {
        StandInLog("malformed request dropped: frame body length %ld",
                   static_cast<long>(bodyLength));
        return;
    }
    MessageBuffer buffer;
    if (!InitMessageBuffer(&buffer)) {
        StandInLog("request dropped: out of memory");
        return;
    }
    if (!KLVrecv(static_cast<KlvSocket>(s), &buffer) || buffer.length <= 0) {
        StandInLog("malformed request dropped: the frame could not be read or decoded");
        FreeMessageBuffer(&buffer);
        return;
    }
    ParsedAdminRequest request;
    AdminParseResult parsed = ParseAdminRequest(buffer.data, buffer.length, &request);
    if (parsed != AdminParseResult::Ok) {
        StandInLog("malformed request dropped: %s (%d bytes, kind %ld)",
                   AdminParseResultText(parsed), static_cast<int>(buffer.length),
                   static_cast<long>(request.kind));
        FreeMessageBuffer(&buffer);
        return;
    }
    if (request.kind == ADMIN_REQUEST_SET_PERMISSIONS) {
        StandInLog("kind 5 request outside a hand-over ignored");
        FreeMessageBuffer(&buffer);
        return;
    }
    char command[kCommandCapacity];
    if (!AdminCommandLine(request.program, request.arguments, command, sizeof command) ||
        command[0] == '\0') {
        StandInLog("kind %s request dropped: empty or over-long command line",
                   KindName(request.kind));
        FreeMessageBuffer(&buffer);
        return;
    }
    bool helper = request.kind == ADMIN_REQUEST_CREATE_PROCESS &&
                  lstrcmpiA(request.program, kHelperProgram) == 0 &&
                  std::strcmp(request.arguments, kHelperArguments) == 0;
    std::int32_t kind = request.kind;
    std::uint32_t session = request.session;
    FreeMessageBuffer(&buffer);
    if (helper) {
        HandOver(s, command, kind);
        return;
    }
    DWORD pid = 0;
    if (kind == ADMIN_REQUEST_CREATE_PROCESS_USER) {
        DWORD error = 0;
        if (StartInSession(session, command, &pid, &error)) {
            StandInLog("kind 16 command \"%s\": started in session %lu, pid %lu", command,
                       static_cast<unsigned long>(session), pid);
            return;
        }
        StandInLog("kind 16 command \"%s\": session %lu not usable (error %lu), starting as kind 1",
                   command, static_cast<unsigned long>(session), error);
    }
    if (StartDirect(command, &pid, nullptr))
        StandInLog("kind %s command \"%s\": started, pid %lu", KindName(kind), command, pid);
    else
        StandInLog("kind %s command \"%s\": could not be started (error %lu)", KindName(kind),
                   command, GetLastError());
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
} // namespace

int RunStandInServer(volatile LONG* stop) {
    loadWinsockLibrary();
    if (!IsWinsockLibraryLoaded() || !initWsockDLL()) {
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
        if (s == INVALID_SOCKET)
            continue;
        // A frame that stalls half-way must not hold the service for ever.
        DWORD timeout = kFirstByteWaitMs;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof timeout);
        Serve(s);
        closesocket(s);
    }
    closesocket(listener);
    cleanupWinsock();
    StandInLog("stopped");
    return 0;
}
