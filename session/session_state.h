// Session state of the main window, one instance for the process.
#pragma once
#include <cstdint>
#include <cstdio>
#include "transport/klv_socket.h"

constexpr unsigned WM_SOCKET_EVENT = 0x400;  // WM_USER
constexpr unsigned WM_START_SESSION = 0x401; // WM_USER + 1
constexpr unsigned CONNECT_TIMER_ID = 1;
constexpr unsigned CONNECT_TIMEOUT_MS = 15000;
// Without a user, a server that stays silent this long ends the run: an unattended install
// never waits forever (the transport gives up on a stalled frame after the same time).
constexpr unsigned SERVER_IDLE_TIMER_ID = 3;
constexpr unsigned SERVER_IDLE_LIMIT_MS = 60000;
// Without a user, the check of the inactivity limit (app/time_limits.h, session_watch.h).
constexpr unsigned INACTIVITY_TIMER_ID = 4;
constexpr unsigned short SERVER_PORT = 11001;

constexpr int kRequestedFileNameCapacity = 64;
constexpr int kLocalFilePathCapacity = 100;

extern KlvSocket ServerSocket;
extern char ServerAddress[100];
extern char RequestedFileName[kRequestedFileNameCapacity];
extern char LocalFilePath[kLocalFilePathCapacity];
extern int IgnoreSocketEvents;
extern int SessionReadBusy;
extern int FileCount;
// Changes whenever the session ends or a file's reception is over. A step that called something
// that may run a message loop (a box, a send that reports its failure in a box) compares it
// with the value it started with before it touches the session's buffer or file again.
extern std::uint32_t SessionGeneration;

// Reception state.
extern std::int32_t ExpectedSize;
extern unsigned char* ReceiveBuffer;
extern std::int32_t PendingBytes;
extern std::int32_t ReceivedBytes;
extern std::int32_t PieceSize;
extern std::FILE* ReceiveFile;
extern std::int32_t LastPercent;
extern std::int32_t ProgressDelta;
