#include "session/session.h"

Session& SessionHost::Start(const Options& options) {
    session_ = std::make_unique<Session>(options);
    return *session_;
}

void SessionHost::End() {
    session_.reset();
}

void CloseServerConnection(Session& session) {
    shutdownAndCloseSocket(session.ServerSocket);
    session.ServerSocket = KLV_INVALID_SOCKET;
    cleanupWinsock();
}
