// Requests to the AdminService: one blocking connection to 127.0.0.1:13021 per request, the
// records sent with Blowfish protection, nothing read back.
#include "install/admin_client.h"

#include <chrono>
#include <thread>

#include "base/product_paths.h"
#include "install/admin_request.h"
#include "install/admin_session.h"
#include "install/transport_report.h"
#include "transport/framing.h"

namespace {
unsigned short servicePort = ADMIN_SERVICE_PORT;

void Wait(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SendRecord(KlvSocket s, AdminRequestArea* area) {
    TransportError failure;
    if (!SendMessageWithSize(s, area->bytes, static_cast<std::int32_t>(area->length), SEND_BLOWFISH,
                             &failure))
        ReportTransportError(failure);
}

void Close(KlvSocket s) {
    shutdownAndCloseSocket(s);
}
} // namespace

void SetAdminServicePort(unsigned short port) {
    servicePort = port;
}

KlvSocket connectToAdminService() {
    TransportError failure;
    if (!initWsockDLL(&failure)) {
        ReportTransportError(failure);
        return KLV_INVALID_SOCKET;
    }
    // Without a socket library every bound call returns 0: socket 0 is no connection.
    KlvSocket s = KLVsocket(KLV_AF_INET, KLV_SOCK_STREAM, 0);
    if (s == KLV_INVALID_SOCKET || s == 0) {
        WriteAdminLog("connectToAdminService() KLVsocket() ERROR");
        return KLV_INVALID_SOCKET;
    }
    KlvSockAddrIn address{};
    address.family = KLV_AF_INET;
    address.port = KLVhtons(servicePort);
    address.addr = KLVinet_addr("127.0.0.1");
    if (KLVconnect(s, &address, 16) == -1) {
        WriteAdminLog("connectToAdminService() KLVconnect() ERROR");
        KLVclosesocket(s); // a socket whose connect failed is not used again
        return KLV_INVALID_SOCKET;
    }
    return s;
}

int AdminServiceCreateProcessAsAdmin(const char* program, const char* arguments) {
    CheckAdminDebugging();
    AdminRequestArea area;
    if (!BuildCreateProcessRequest(&area, program, arguments)) {
        WriteAdminLog("AdminServiceCreateProcessAsAdmin() request too long");
        return 0;
    }
    KlvSocket s = connectToAdminService();
    if (s == KLV_INVALID_SOCKET)
        return 0;
    SendRecord(s, &area);
    Wait(100);
    Close(s);
    return 1;
}

int AdminServiceCreateProcessAsAdminUser(const char* program, const char* arguments, int option) {
    CheckAdminDebugging();
    // The session is filled in below; checking the size first keeps a refused request from
    // opening a connection at all.
    AdminRequestArea area;
    if (!BuildCreateProcessUserRequest(&area, 0, program, arguments, option)) {
        WriteAdminLog("AdminServiceCreateProcessAsAdminUser() request too long");
        return 0;
    }
    KlvSocket s = connectToAdminService();
    if (s == KLV_INVALID_SOCKET)
        return 0;
    BuildCreateProcessUserRequest(&area, CallerSessionNumber(), program, arguments, option);
    SendRecord(s, &area);
    Wait(100);
    Close(s);
    return 1;
}

int AdminServiceSetOrvanePermissions(int value) {
    CheckAdminDebugging();
    WriteAdminLog("AdminServiceSetOrvanePermissions");
    KlvSocket s = connectToAdminService();
    if (s == KLV_INVALID_SOCKET) {
        WriteAdminLog("AdminServiceSetOrvanePermissions() FAILED");
        return 0;
    }
    AdminRequestArea area;
    BuildCreateProcessRequest(&area, kInstalledProgram, "-ADMIN");
    SendRecord(s, &area);
    Wait(200);
    BuildSetPermissionsRequest(&area, value);
    SendRecord(s, &area);
    Wait(100);
    Close(s);
    return 1;
}
