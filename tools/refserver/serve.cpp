#include "tools/refserver/serve.h"

namespace refsrv {

const char kDataAck[] = "NO NEED TO ARGUE";
const char kEndOfList[] = "NoMore";
const char kDefaultDestination[] = "C:\\klv\\transfer\\";

std::vector<std::size_t> PiecePlan(std::size_t size, std::size_t pieceSize) {
    std::vector<std::size_t> plan;
    if (pieceSize == 0)
        pieceSize = 1;
    for (std::size_t left = size; left > 0;) {
        std::size_t n = left < pieceSize ? left : pieceSize;
        plan.push_back(n);
        left -= n;
    }
    if (plan.empty())
        plan.push_back(0);
    return plan;
}

bool SendTyped(FrameChannel& channel, int type, const std::string& text, int options,
               int timeoutMs) {
    std::string payload(1, static_cast<char>(type));
    payload += text;
    return channel.SendPayload(payload, options, timeoutMs);
}

std::string PieceFrames::FrameOf(const std::string& payload, int options) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (options != options_) {
            frames_.clear();
            held_ = 0;
            options_ = options;
        }
        const auto found = frames_.find(payload);
        if (found != frames_.end())
            return found->second;
    }
    std::string frame = BuildFrame(payload, options);
    std::lock_guard<std::mutex> hold(lock_);
    if (options == options_ && !frame.empty() && held_ + payload.size() + frame.size() <= kBound &&
        frames_.emplace(payload, frame).second)
        held_ += payload.size() + frame.size();
    return frame;
}

ServeResult ServeContent(FrameChannel& channel, const std::string& content,
                         const ServeOptions& options, const FrameObserver& observer) {
    return ServeSource(
        channel, content.size(),
        [&content](std::uint64_t offset, std::size_t count, std::string* out) {
            out->assign(content, static_cast<std::size_t>(offset), count);
            return true;
        },
        options, observer);
}

ServeResult ServeSource(FrameChannel& channel, std::uint64_t size, const PieceReader& read,
                        const ServeOptions& options, const FrameObserver& observer) {
    ServeResult result;
    const int opts = options.sendOptions;
    if (!SendTyped(channel, kFileSize, std::to_string(size), opts, options.timeoutMs) ||
        !SendTyped(channel, kFileDestination, options.destination, opts, options.timeoutMs)) {
        result.failure = "send failed";
        return result;
    }
    std::uint64_t offset = 0;
    std::string data;
    for (std::size_t piece : PiecePlan(static_cast<std::size_t>(size), options.pieceSize)) {
        if (!read(offset, piece, &data) || data.size() != piece) {
            result.failure = "cannot read the file";
            return result;
        }
        if (!SendTyped(channel, kDataSize, std::to_string(piece), opts, options.timeoutMs) ||
            !(options.pieceFrames
                  ? channel.WriteAll(options.pieceFrames->FrameOf(
                                         std::string(1, static_cast<char>(kFileData)) + data, opts),
                                     options.timeoutMs)
                  : SendTyped(channel, kFileData, data, opts, options.timeoutMs))) {
            result.failure = "send failed";
            return result;
        }
        offset += piece;
        ++result.piecesSent;
        Frame frame;
        ReadStatus status = channel.Read(options.timeoutMs, &frame);
        if (status != ReadStatus::Frame) {
            result.failure = status == ReadStatus::Timeout ? "no acknowledgement"
                                                           : "client closed during the transfer";
            return result;
        }
        if (observer)
            observer(frame);
        if (frame.payload != kDataAck) {
            result.failure = "unexpected reply instead of the acknowledgement";
            return result;
        }
        ++result.acks;
    }
    result.complete = true;
    return result;
}

} // namespace refsrv
