// helperdriver.exe <case>: starts "C:\orvane\bin\Install.exe -ADMIN", hands it one end of a
// loopback connection the way the AdminService does (duplicated socket, WM_COPYDATA), plays the
// normal instance on the other end, and reports how the helper ended:
//   kind1-kind5   kind 1, then kind 5, connection left open
//   kind5-closed  kind 5 sent and the connection closed before the hand-over
//   short         a 2-byte payload, then close
//   kind16-close  a kind-16 record, then close
//   close         close before any request
//   nosocket      WM_COPYDATA whose record describes no socket
//   shortcopy     WM_COPYDATA one byte shorter than the record, then kind 5 and close
// Output: "copydata <0|1>" and "helper exit <code>", or "helper still running". Exit code: the
// helper's exit code; 3 when the helper was still running at the deadline (it is then ended);
// 4 when WM_COPYDATA could not be delivered.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/product_paths.h"
#include "install/admin_request.h"
#include "tools/adminservice/helper_window_win.h"
#include "transport/framing.h"
#include "transport/klv_socket.h"

namespace {
constexpr DWORD kWindowWaitMs = 15000;
constexpr DWORD kExitWaitMs = 20000;

bool MakePair(SOCKET* serviceEnd, SOCKET* clientEnd) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    *clientEnd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (connect(*clientEnd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return false;
    *serviceEnd = accept(listener, nullptr, nullptr);
    closesocket(listener);
    return *serviceEnd != INVALID_SOCKET;
}

void Send(SOCKET s, std::string payload) {
    SendMessageWithSize(static_cast<KlvSocket>(s), reinterpret_cast<unsigned char*>(&payload[0]),
                        static_cast<std::int32_t>(payload.size()), SEND_BLOWFISH);
}

std::string Record1() {
    AdminRequestArea area;
    BuildCreateProcessRequest(&area, kInstalledProgram, "-ADMIN");
    return std::string(reinterpret_cast<char*>(area.bytes), area.length);
}
std::string Record5() {
    AdminRequestArea area;
    BuildSetPermissionsRequest(&area, 0);
    return std::string(reinterpret_cast<char*>(area.bytes), area.length);
}
std::string Record16() {
    AdminRequestArea area;
    BuildCreateProcessUserRequest(&area, 1, "NULL", "C:\\x.exe", 0);
    return std::string(reinterpret_cast<char*>(area.bytes), area.length);
}

} // namespace

int main(int argc, char** argv) {
    std::string which = argc == 2 ? argv[1] : "";
    const char* cases[] = {"kind1-kind5", "kind5-closed", "short",    "kind16-close",
                           "close",       "nosocket",     "shortcopy"};
    bool known = false;
    for (const char* c : cases)
        known = known || which == c;
    if (!known) {
        std::printf("usage: helperdriver kind1-kind5|kind5-closed|short|kind16-close|close|"
                    "nosocket|shortcopy\n");
        return 100;
    }
    loadWinsockLibrary();
    WSADATA data;
    if (!initWsockDLL() || WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 101;
    SOCKET serviceEnd = INVALID_SOCKET, clientEnd = INVALID_SOCKET;
    if (!MakePair(&serviceEnd, &clientEnd)) {
        std::printf("no loopback connection\n");
        return 102;
    }
    if (which == "kind5-closed") {
        Send(clientEnd, Record5());
        shutdown(clientEnd, SD_BOTH);
        closesocket(clientEnd);
        clientEnd = INVALID_SOCKET;
    }

    std::string command = std::string(kInstalledProgram) + " -ADMIN";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION helper{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &helper)) {
        std::printf("helper not started (error %lu)\n", GetLastError());
        return 103;
    }
    CloseHandle(helper.hThread);
    HWND window = WaitForHelperWindow(helper.dwProcessId, helper.hProcess, kWindowWaitMs);
    std::printf("window %s\n", window ? "found" : "missing");

    WSAPROTOCOL_INFOA info{};
    bool duplicated =
        which == "nosocket" || WSADuplicateSocketA(serviceEnd, helper.dwProcessId, &info) == 0;
    if (!duplicated)
        std::printf("WSADuplicateSocketA error %d\n", WSAGetLastError());
    COPYDATASTRUCT copy{};
    copy.cbData = which == "shortcopy" ? sizeof info - 1 : sizeof info;
    copy.lpData = &info;
    DWORD_PTR ignored = 0;
    bool delivered = window && duplicated &&
                     SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy),
                                         SMTO_NORMAL, 10000, &ignored);
    std::printf("copydata %d\n", delivered ? 1 : 0);
    closesocket(serviceEnd);

    if (clientEnd != INVALID_SOCKET) {
        if (which == "kind1-kind5") {
            Send(clientEnd, Record1());
            Sleep(200);
            Send(clientEnd, Record5());
        } else if (which == "short") {
            Send(clientEnd, std::string("\x05\x00", 2));
            Sleep(500);
        } else if (which == "kind16-close") {
            Send(clientEnd, Record16());
            Sleep(500);
        } else if (which == "shortcopy") {
            Send(clientEnd, Record5());
            Sleep(500);
        }
        if (which != "kind1-kind5") {
            shutdown(clientEnd, SD_BOTH);
            closesocket(clientEnd);
        }
    }

    int result = 0;
    if (WaitForSingleObject(helper.hProcess, kExitWaitMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(helper.hProcess, &code);
        std::printf("helper exit %lu\n", code);
        result = delivered ? static_cast<int>(code) : 4;
    } else {
        std::printf("helper still running\n");
        TerminateProcess(helper.hProcess, 9);
        WaitForSingleObject(helper.hProcess, 5000);
        result = 3;
    }
    CloseHandle(helper.hProcess);
    std::fflush(stdout);
    return result;
}
