// Drive C of the prefix seen from Linux: paths, files, modes and the product's logs.
#include "tests/e2e/harness/harness_internal.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace e2e {

namespace {

// The entry of dir whose name equals name ignoring case, as Windows finds it.
std::string MatchCase(const fs::path& dir, const std::string& name) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error))
        if (strcasecmp(entry.path().filename().c_str(), name.c_str()) == 0)
            return entry.path().filename().string();
    return name;
}

} // namespace

std::string HostPath(const std::string& windowsPath) {
    std::string path = windowsPath;
    for (char& c : path)
        c = c == '\\' ? '/' : c;
    fs::path host = fs::path(kPrefixDir) / "drive_c";
    if (path.size() >= 2 && path[1] == ':') {
        if (std::tolower(static_cast<unsigned char>(path[0])) == 'z')
            host = "/";
        path.erase(0, 2);
    }
    std::stringstream parts(path);
    for (std::string part; std::getline(parts, part, '/');)
        if (!part.empty())
            host /= fs::exists(host / part) ? part : MatchCase(host, part);
    return host.string();
}

std::string WindowsPathOfHost(const std::string& hostPath) {
    std::string path = "Z:" + fs::absolute(hostPath).string();
    for (char& c : path)
        c = c == '/' ? '\\' : c;
    return path;
}

bool FileExists(const std::string& windowsPath) {
    std::error_code error;
    return fs::exists(HostPath(windowsPath), error);
}

std::string ReadFile(const std::string& windowsPath) {
    return host::Slurp(HostPath(windowsPath));
}

void WriteFile(const std::string& windowsPath, const std::string& content) {
    const std::string host = HostPath(windowsPath);
    fs::create_directories(fs::path(host).parent_path());
    std::ofstream(host, std::ios::binary | std::ios::trunc) << content;
}

void MakeFolder(const std::string& windowsPath) {
    fs::create_directories(HostPath(windowsPath));
}

unsigned FileMode(const std::string& windowsPath) {
    struct stat info {};
    return stat(HostPath(windowsPath).c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

void ResetDriveC() {
    EnsureWine();
    const fs::path driveC = fs::path(kPrefixDir) / "drive_c";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(driveC, error))
        for (const char* name : {"orvane", "klv", "work"})
            if (strcasecmp(entry.path().filename().c_str(), name) == 0)
                fs::remove_all(entry.path(), error);
    fs::create_directories(driveC / "orvane" / "bin");
    fs::create_directories(driveC / "work");
}

std::string InstallProgram() {
    EnsureWine();
    fs::copy_file(kWinBin + "/Install.exe", HostPath("C:\\orvane\\bin\\Install.exe"),
                  fs::copy_options::overwrite_existing);
    return "C:\\orvane\\bin\\Install.exe";
}

std::vector<std::string> LogMessages(const std::string& windowsPath) {
    const std::string text = ReadFile(windowsPath);
    std::vector<std::string> messages;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            messages.push_back("<no CR LF>" + text.substr(start));
            break;
        }
        std::string line = text.substr(start, end - start);
        start = end + 2;
        const std::size_t at = line.find(" at ");
        const std::size_t space = at == std::string::npos ? at : line.find(' ', at + 4);
        if (space != std::string::npos && line.back() == ' ' && space + 1 < line.size())
            line = line.substr(space + 1, line.size() - space - 2);
        messages.push_back(line);
    }
    return messages;
}

std::vector<std::string> InstallLogMessages() {
    return LogMessages("C:\\orvane\\bin\\Install.log");
}

} // namespace e2e
