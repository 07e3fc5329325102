#include "tools/refserver/request.h"

#include <algorithm>
#include <system_error>

#include "tools/refserver/serve.h"

namespace refsrv {

namespace fs = std::filesystem;

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// True when `inner` is `outer` or lies below it (both absolute and normal).
bool IsWithin(const fs::path& outer, const fs::path& inner) {
    auto o = outer.begin();
    auto i = inner.begin();
    for (; o != outer.end(); ++o, ++i) {
        if (o->empty() && std::next(o) == outer.end())
            break; // trailing separator
        if (i == inner.end() || *o != *i)
            return false;
    }
    return true;
}

} // namespace

Request ParseRequest(const std::string& command) {
    Request request;
    std::string text = command;
    static const std::string kRemove = " -X";
    if (text.size() >= kRemove.size() &&
        text.compare(text.size() - kRemove.size(), kRemove.size(), kRemove) == 0) {
        request.removeAfter = true;
        text.erase(text.size() - kRemove.size());
    }
    std::string rest;
    if (StartsWith(text, "-EFTPPUSHMODE")) {
        request.kind = RequestKind::Push;
        rest = text.substr(13);
    } else if (StartsWith(text, "-EFTPMODE")) {
        request.kind = RequestKind::List;
        rest = text.substr(9);
    } else {
        return Request{};
    }
    if (rest.empty())
        return request;
    if (!StartsWith(rest, " -F"))
        return Request{};
    request.name = rest.substr(3);
    if (request.kind == RequestKind::List) {
        if (request.name.empty())
            return Request{};
        request.kind = RequestKind::Download;
    }
    return request;
}

fs::path TransferFolder(const fs::path& root) {
    return root / "usr" / "orvane" / "klvtransfer";
}

fs::path IncomingFolder(const fs::path& root) {
    return root / "usr" / "orvane" / "incoming";
}

std::optional<fs::path> ResolveServedPath(const fs::path& root, const std::string& name) {
    if (name.empty() || name.find('\0') != std::string::npos)
        return std::nullopt;
    const bool fromRoot = name[0] == '/';
    const std::size_t start = name.find_first_not_of('/');
    if (start == std::string::npos)
        return std::nullopt;
    fs::path relative(name.substr(start));
    for (const auto& part : relative)
        if (part == "..")
            return std::nullopt;
    std::error_code ec;
    fs::path base = fs::weakly_canonical(fs::absolute(root, ec), ec);
    if (ec)
        return std::nullopt;
    fs::path candidate = fromRoot ? base / relative : TransferFolder(base) / relative;
    fs::path resolved = fs::weakly_canonical(candidate, ec);
    if (ec || !IsWithin(base, resolved))
        return std::nullopt;
    return resolved;
}

bool InTransferFolder(const fs::path& root, const fs::path& resolved) {
    std::error_code ec;
    fs::path folder = fs::weakly_canonical(TransferFolder(fs::absolute(root, ec)), ec);
    return !ec && resolved != folder && IsWithin(folder, resolved);
}

std::vector<std::string> OfferedFiles(const fs::path& root) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(TransferFolder(root), ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->is_regular_file(ec))
            names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> UploadFileName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/\\:") != std::string::npos)
        return std::nullopt;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F)
            return std::nullopt;
    return name;
}

UploadAssembler::Step UploadAssembler::Take(const std::string& payload) {
    piece_.clear();
    if (done_ || payload.empty() || static_cast<unsigned char>(payload[0]) != kPushData)
        return Step::Invalid;
    if (!haveName_) {
        std::string name = payload.substr(1);
        std::size_t zero = name.find('\0');
        if (zero != std::string::npos)
            name.erase(zero);
        name_ = name;
        haveName_ = true;
        return Step::NeedMore;
    }
    static const std::string kEndMark("\x11"
                                      "DONE\0",
                                      6);
    if (payload == kEndMark && bytes_ % kUploadPieceSize == 0) {
        done_ = true;
        return Step::Done;
    }
    std::size_t count = payload.size() - 1;
    if (count > kUploadPieceSize)
        return Step::Invalid;
    piece_.assign(payload, 1, count);
    bytes_ += count;
    ++dataMessages_;
    if (count < kUploadPieceSize) {
        done_ = true;
        return Step::Done;
    }
    return Step::NeedMore;
}

} // namespace refsrv
