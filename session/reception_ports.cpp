#include "session/reception_ports.h"

#include "platform/guarded_file.h"
#include "session/protocol.h"
#include "session/session.h"
#include "transport/framing.h"

bool PlainFileSink::DestinationAllowed(const char*) {
    return true;
}

std::FILE* PlainFileSink::Create(const char* path) {
    return OpenGuardedFile(path, "wb");
}

void PlainFileSink::Remove(const char* path) {
    RemoveGuardedFile(path);
}

bool SocketAcknowledger::Acknowledge(Session& s, TransportError* failure) {
    return SendMessageString(s.ServerSocket, kDataAcknowledgement, SEND_NOCOMPRESS, failure) != 0;
}
