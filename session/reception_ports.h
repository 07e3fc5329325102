// What reception asks of the world around it, each an interface handed to the reception's
// steps by their caller: the progress display, the place the received file goes, and the
// acknowledgement of each piece. None of them shows a box or runs a message loop (portable).
#pragma once
#include <cstdio>

struct Session;
struct TransportError;

// The progress of the file being received.
class ReceptionView {
  public:
    virtual ~ReceptionView() = default;
    virtual void ProgressOpened(const Session& session) = 0;   // first piece, with a user or -T
    virtual void ProgressAdvanced(const Session& session) = 0; // by session.ProgressDelta
    virtual void ProgressClosed(const Session& session) = 0;   // file complete, with a user
};

// Where the received file goes.
class ReceivedFileSink {
  public:
    virtual ~ReceivedFileSink() = default;
    // Whether the file may be written to its final path; asked before anything is created.
    virtual bool DestinationAllowed(const char* path) = 0;
    virtual std::FILE* Create(const char* path) = 0; // null when not created
    virtual void Remove(const char* path) = 0;
};

// Any destination; the file opened "wb" and removed through the guarded opens.
class PlainFileSink : public ReceivedFileSink {
  public:
    bool DestinationAllowed(const char* path) override;
    std::FILE* Create(const char* path) override;
    void Remove(const char* path) override;
};

// The acknowledgement of a piece, once it is taken in.
class PieceAcknowledger {
  public:
    virtual ~PieceAcknowledger() = default;
    // True when sent; otherwise the failure (if any) is in *failure for the caller to report.
    virtual bool Acknowledge(Session& session, TransportError* failure) = 0;
};

// Sent on the session's ServerSocket.
class SocketAcknowledger : public PieceAcknowledger {
  public:
    bool Acknowledge(Session& session, TransportError* failure) override;
};

// What one reception step is handed by its caller.
struct ReceptionPorts {
    ReceptionView& view;
    ReceivedFileSink& files;
    PieceAcknowledger& acknowledger;
};
