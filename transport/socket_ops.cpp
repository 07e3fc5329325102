// Library operations on top of the bound socket calls.
#include "transport/klv_socket.h"
#include "transport/transport_errors.h"

int initWsockDLL(TransportError* error) {
    alignas(8) unsigned char wsaData[1024]; // larger than any WSADATA layout
    const int result = KLVWSAStartup(0x0002, wsaData);
    if (result != 0) {
        if (error)
            *error = ErrorFailure("KLVWSAStartup()", result, 0);
        return 0;
    }
    return 1;
}

int setSockNonBlocking(void* window, KlvSocket s, unsigned message, TransportError* error) {
    const int result = KLVWSAAsyncSelect(s, window, message, KLV_FD_MASK);
    if (result != 0) {
        if (error)
            *error = ErrorFailure("KLVWSAAsyncSelect()", result, 0);
        shutdownAndCloseSocket(s);
        return 0;
    }
    return 1;
}

int shutdownAndCloseSocket(KlvSocket s) {
    KLVshutdown(s, 2);
    KLVclosesocket(s);
    return 1;
}
