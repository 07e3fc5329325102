// A file held open from its check to its start: read-only, sharing reading alone, so that no
// other process can write, delete or rename it while it is held (a program held this way can
// still be started: the loader needs no write access). Opened without following a link. The
// checks made on it (the digest, the signature, a signature policy) read through Handle().
#pragma once
#include <windows.h>

#include <string>

#include "base/file_digest.h"
#include "install/held_check.h"

class HeldFile {
  public:
    HeldFile() = default;
    ~HeldFile() { Release(); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    // Holds path (releasing a file held before); false when it does not open or its way holds
    // a link. extraAccess is asked for beside reading (WRITE_DAC | READ_CONTROL for a grant on
    // the handle).
    bool Hold(const char* path, DWORD extraAccess = 0);
    void Release();
    bool IsHeld() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return handle_; }
    const char* Path() const { return path_.c_str(); }

    // A reader over the whole file from its first byte (the handle's position moves).
    BlockReader Reader() const;
    HeldVerdict CompareWith(const FileDigest& received) const;
    bool StartsLike(bool installerPackage) const;

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::string path_;
};
