// The process at the other end of a request's connection: who it is, and whether it may be served.
#pragma once
#include <winsock2.h>
#include <windows.h>

struct Connection {
    SOCKET socket;
    sockaddr_in peer;
    DWORD acceptedAt;
};

// What the service knows of the process at the other end of a connection.
struct Peer {
    bool identified; // false where the system does not report connection owners
    DWORD pid;
    char localFolder[512]; // its -D folder
};

// True when the connection may be served (peer filled in); refusals are logged here. Only the
// elevated installed program, running since before the connection was made, is served; where
// the system does not report which process owns a connection, only a test build serves the
// peer, unidentified.
bool CheckPeer(const Connection& c, Peer* peer);
