// Storing one upload: the bytes go to a temporary file made with mkstemp in the incoming
// folder (a fresh name, never a link followed) and reach their final name only when the upload
// is complete, without ever replacing a file already there (a taken name gets "-1", "-2", ...
// before its extension). A store that is not committed leaves nothing behind.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>

namespace refsrv {

class UploadStore {
  public:
    // Space left free on the incoming folder's file system whatever the uploads.
    static constexpr std::uint64_t kFreeSpaceReserve = 32 * 1024 * 1024;

    UploadStore(std::filesystem::path folder, std::uint64_t maxBytes)
        : folder_(std::move(folder)), maxBytes_(maxBytes) {}
    ~UploadStore() { Discard(); }
    UploadStore(const UploadStore&) = delete;
    UploadStore& operator=(const UploadStore&) = delete;

    // Creates the folder if needed and the temporary file; false (Error() says why) otherwise.
    bool Open();
    // Appends bytes; false when the upload passes the size cap, would leave less than the
    // reserve free, or cannot be written.
    bool Write(const std::string& bytes);
    // Gives the temporary its final name: `name`, or the first free numbered variant.
    bool Commit(const std::string& name);
    void Discard();

    const std::string& Error() const { return error_; }
    const std::filesystem::path& Stored() const { return stored_; }
    std::uint64_t Bytes() const { return bytes_; }

  private:
    bool SpaceFor(std::uint64_t more);

    std::filesystem::path folder_;
    std::uint64_t maxBytes_;
    int fd_ = -1;
    std::filesystem::path temporary_;
    std::filesystem::path stored_;
    std::uint64_t bytes_ = 0;
    std::uint64_t checkedAt_ = 0; // bytes written when the free space was last looked at
    bool checked_ = false;
    std::string error_;
};

// "name", then "name-1.ext" for n = 1, and so on: the n-th name tried for an upload.
std::string NumberedName(const std::string& name, unsigned n);

} // namespace refsrv
