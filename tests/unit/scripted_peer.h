// A scripted peer on a clock of its own, behind the frame loops' socket calls: bytes arrive and
// room to send opens at the scripted times, and a wait moves the clock to the next of them or
// by its whole timeout. Timing tests then decide on exact times and wait counts, never on how
// fast the machine is.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "transport/frame_read.h"

namespace transport_test {

class ScriptedPeer {
  public:
    static constexpr KlvSocket kSocket = 7;

    // The frame loops' calls go to the peer of the calling thread; the first peer alive puts
    // them in place and the last one puts the real ones back, so receives on several threads
    // can each have their own.
    ScriptedPeer() {
        const std::lock_guard<std::mutex> lock(Mutex());
        if (peers_++ == 0)
            previous_ = frame_io::SetFrameIo({Recv, Send, Wait, LastError, Now});
        current_ = this;
    }
    ~ScriptedPeer() {
        const std::lock_guard<std::mutex> lock(Mutex());
        current_ = nullptr;
        if (--peers_ == 0)
            frame_io::SetFrameIo(previous_);
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Bytes that become readable atMs after the start, in the order given.
    void Arrive(std::int64_t atMs, std::string bytes) { arrivals_.push_back({atMs, bytes}); }
    // The peer closes once its last bytes have been read.
    void CloseAfterLast() { closes_ = true; }
    // The send side: `room` bytes fit at first and again after each drain.
    void Room(std::size_t room) { room_ = left_ = room; }
    void Drain(std::int64_t atMs) { drains_.push_back(atMs); }

    std::int64_t ElapsedMs() const { return now_ - kStart; }
    int Waits() const { return waits_; }
    const std::string& Sent() const { return sent_; }

  private:
    static constexpr std::int64_t kStart = 1000000;

    void Deliver() {
        while (!arrivals_.empty() && arrivals_.front().first + kStart <= now_) {
            inbox_ += arrivals_.front().second;
            arrivals_.pop_front();
        }
    }
    bool Closed() const { return closes_ && arrivals_.empty(); }

    static int Recv(KlvSocket, char* buffer, int length, int) {
        ScriptedPeer& p = *current_;
        p.Deliver();
        if (p.inbox_.empty()) {
            p.error_ = KLV_WSAEWOULDBLOCK;
            return p.Closed() ? 0 : -1;
        }
        const std::size_t n = std::min(p.inbox_.size(), static_cast<std::size_t>(length));
        std::memcpy(buffer, p.inbox_.data(), n);
        p.inbox_.erase(0, n);
        return static_cast<int>(n);
    }
    static int Send(KlvSocket, const char* buffer, int length, int) {
        ScriptedPeer& p = *current_;
        if (p.left_ == 0) {
            p.error_ = KLV_WSAEWOULDBLOCK;
            return -1;
        }
        const std::size_t n = std::min(p.left_, static_cast<std::size_t>(length));
        p.sent_.append(buffer, n);
        p.left_ -= n;
        return static_cast<int>(n);
    }
    static int Wait(KlvSocket, bool forWrite, int timeoutMs) {
        ScriptedPeer& p = *current_;
        ++p.waits_;
        p.Deliver();
        if (forWrite ? p.left_ > 0 : !p.inbox_.empty() || p.Closed())
            return 1;
        const bool pending = forWrite ? !p.drains_.empty() : !p.arrivals_.empty();
        const std::int64_t next =
            pending ? kStart + (forWrite ? p.drains_.front() : p.arrivals_.front().first) : 0;
        if (!pending || next > p.now_ + timeoutMs) {
            p.now_ += timeoutMs;
            return 0;
        }
        p.now_ = std::max(p.now_, next);
        if (forWrite) {
            p.drains_.pop_front();
            p.left_ = p.room_;
        }
        return 1;
    }
    static int LastError() { return current_->error_; }
    static std::int64_t Now() { return current_->now_; }

    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static inline thread_local ScriptedPeer* current_ = nullptr;
    static inline int peers_ = 0;
    static inline frame_io::FrameIo previous_{};
    std::int64_t now_ = kStart;
    std::deque<std::pair<std::int64_t, std::string>> arrivals_;
    bool closes_ = false;
    std::string inbox_, sent_;
    std::size_t room_ = 0, left_ = 0;
    std::deque<std::int64_t> drains_;
    int waits_ = 0, error_ = 0;
};

} // namespace transport_test
