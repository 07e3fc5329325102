// Native back end of the socket binding: BSD sockets behind the Windows Sockets operations.
#pragma once

// The Windows Sockets number for an errno value (the value itself when there is no counterpart).
int KlvWinsockErrorFromErrno(int error);
// Number of start-ups not yet undone by KLVWSACleanup.
int KlvWinsockStartCount();
