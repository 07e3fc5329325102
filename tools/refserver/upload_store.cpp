#include "tools/refserver/upload_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>

namespace refsrv {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kMaxNumbered = 1000;
constexpr std::uint64_t kSpaceCheckEvery = 1024 * 1024;

// Moves `from` to `to` unless `to` exists (atomically: no replacement even when racing).
bool MoveWithoutReplacing(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without the no-replace rename: a hard link fails on an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

} // namespace

std::string NumberedName(const std::string& name, unsigned n) {
    if (n == 0)
        return name;
    const fs::path path(name);
    return path.stem().string() + "-" + std::to_string(n) + path.extension().string();
}

bool UploadStore::Open() {
    std::error_code ec;
    fs::create_directories(folder_, ec);
    std::string pattern = (folder_ / ".upload-XXXXXX").string();
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) {
        error_ =
            "cannot create a temporary file in " + folder_.string() + ": " + std::strerror(errno);
        return false;
    }
    temporary_ = pattern;
    return SpaceFor(0);
}

bool UploadStore::SpaceFor(std::uint64_t more) {
    if (bytes_ + more > maxBytes_) {
        error_ = "over the size cap of " + std::to_string(maxBytes_) + " bytes";
        return false;
    }
    if (checked_ && bytes_ + more - checkedAt_ < kSpaceCheckEvery)
        return true;
    checked_ = true;
    checkedAt_ = bytes_ + more;
    struct statvfs vfs {};
    if (::fstatvfs(fd_, &vfs) != 0)
        return true; // nothing known: the writes themselves will tell
    const std::uint64_t available = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    if (available < more + kFreeSpaceReserve) {
        error_ = "not enough free space (" + std::to_string(available) + " bytes left)";
        return false;
    }
    return true;
}

bool UploadStore::Write(const std::string& bytes) {
    if (fd_ < 0)
        return false;
    if (!SpaceFor(bytes.size()))
        return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error_ = std::string("cannot write: ") + std::strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    bytes_ += bytes.size();
    return true;
}

bool UploadStore::Commit(const std::string& name) {
    if (fd_ < 0)
        return false;
    const bool written = ::fsync(fd_) == 0;
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    if (!written) {
        error_ = std::string("cannot write: ") + std::strerror(error);
        Discard();
        return false;
    }
    for (unsigned n = 0; n < kMaxNumbered; ++n) {
        const fs::path target = folder_ / NumberedName(name, n);
        if (MoveWithoutReplacing(temporary_, target)) {
            temporary_.clear();
            stored_ = target;
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    error_ = std::string("cannot store under its name: ") + std::strerror(errno);
    Discard();
    return false;
}

void UploadStore::Discard() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty())
        ::unlink(temporary_.c_str());
    temporary_.clear();
}

} // namespace refsrv
