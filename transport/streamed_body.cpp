// The body of a received frame: read into the caller's block and worked on as it arrives (check
// value digest, AES-128-CTR, inflation), between reads, or on a second thread when that mode is
// asked for. The worker works on the frame's own block, up to where the reader has got; the
// reader takes the frame back from it before the receive returns, on every path.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "transport/body_stream.h"
#include "platform/byte_order.h"
#include "transport/frame_read.h"

namespace {

// The body block grows by at least this much. The slack above 1 MiB lets a 1 MiB piece with
// its type byte and check value arrive in the first block, without a second block and copy.
constexpr std::int32_t kBodyStep = (1 << 20) + 64;

std::atomic<int> g_receiveWork{static_cast<int>(ReceiveWork::BetweenReads)};
std::atomic<long long> g_workedAhead{0};

// The worker thread, one for the process: started by the first body that wants it and joined
// when the process ends (the static below). Its queue holds one frame at a time: the reader
// hands a frame over, says how far its body has come, and takes the frame back once its last
// byte is read (it works on what is left itself). A second reader while a frame is in hand
// works between its reads.
class ReceiveWorker {
  public:
    // The worker, started on first use; null when no thread could be started.
    static ReceiveWorker* Get() {
        static ReceiveWorker worker;
        return worker.thread_.joinable() ? &worker : nullptr;
    }
    ~ReceiveWorker() {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    // False when another frame is in hand.
    bool Take(BodyStream* work, unsigned char* body) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (work_)
            return false;
        work_ = work;
        body_ = body;
        received_ = done_ = 0;
        return true;
    }
    void Arrived(std::size_t received) {
        bool wake;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_ = received;
            wake = waiting_;
        }
        if (wake)
            wake_.notify_all();
    }
    // Moves the body's block: waits for the step in hand and keeps the worker out meanwhile.
    bool Grow(MessageBuffer* buffer, std::size_t size) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_wake_.wait(lock, [&] { return !inFlight_; });
        void* block = std::realloc(buffer->data, size);
        if (!block)
            return false;
        buffer->data = static_cast<unsigned char*>(block);
        buffer->capacity = static_cast<std::int32_t>(size);
        body_ = buffer->data;
        return true;
    }
    // Takes the frame back once the step in hand is done; returns how far the worker got.
    std::size_t Release() {
        std::unique_lock<std::mutex> lock(mutex_);
        done_wake_.wait(lock, [&] { return !inFlight_; });
        work_ = nullptr;
        return done_;
    }

  private:
    ReceiveWorker() {
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
        } // no thread: every reader works between its reads
    }
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!closing_) {
            const std::size_t end = work_ ? work_->WorkableEnd(received_) : done_;
            if (end <= done_) {
                waiting_ = true;
                wake_.wait(lock);
                waiting_ = false;
                continue;
            }
            const std::size_t from = done_, to = std::min(end, from + kReceiveWorkStep);
            BodyStream* work = work_;
            unsigned char* body = body_;
            inFlight_ = true;
            lock.unlock();
            work->Work(body, from, to);
            lock.lock();
            done_ = to;
            inFlight_ = false;
            done_wake_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, done_wake_;
    BodyStream* work_ = nullptr;
    unsigned char* body_ = nullptr;
    std::size_t received_ = 0, done_ = 0;
    bool inFlight_ = false, waiting_ = false, closing_ = false;
    std::thread thread_;
};

// Hands the frame back to the worker's queue on every way out of the receive.
struct WorkerFrame {
    ReceiveWorker* worker = nullptr;
    ~WorkerFrame() {
        if (worker)
            worker->Release();
    }
};

// Room for the next bytes: the block grows geometrically up to the body and its slack.
std::size_t GrownSize(const MessageBuffer& buffer, std::int32_t received, std::int32_t bodyLength) {
    const std::int64_t needed = static_cast<std::int64_t>(bodyLength) + frame_io::kBodySlack;
    std::int64_t grown = static_cast<std::int64_t>(buffer.capacity) * 2;
    if (grown < static_cast<std::int64_t>(received) + kBodyStep)
        grown = static_cast<std::int64_t>(received) + kBodyStep;
    return static_cast<std::size_t>(grown > needed ? needed : grown);
}

} // namespace

ReceiveWork SetReceiveWork(ReceiveWork work) {
    return static_cast<ReceiveWork>(g_receiveWork.exchange(static_cast<int>(work)));
}

long long LastFrameWorkedAhead() {
    return g_workedAhead.load();
}

namespace frame_io {

bool ReadBody(KlvSocket s, MessageBuffer* buffer, const unsigned char* header,
              std::int64_t maxLength, MessageBuffer* inflateBlock, FrameProgress* frame,
              Unwrapped* result) {
    const std::int32_t bodyLength = static_cast<std::int32_t>(LoadLe32(header + 2));
    const ReceiveWork mode = static_cast<ReceiveWork>(g_receiveWork.load());
    BodyStream work(header[0], header[1], bodyLength, maxLength, inflateBlock);
    const bool streams = work.Streams() && mode != ReceiveWork::Whole;
    g_workedAhead = 0;
    const bool threaded = streams && mode == ReceiveWork::WorkerThread;
    WorkerFrame worker;   // released before `work` ends, on every path
    std::size_t done = 0; // worked on between reads
    std::int32_t received = 0;
    while (received < bodyLength) {
        const std::int64_t room =
            static_cast<std::int64_t>(buffer->capacity) - kBodySlack - received;
        if (room <= 0) {
            const std::size_t size = GrownSize(*buffer, received, bodyLength);
            if (worker.worker) {
                if (!worker.worker->Grow(buffer, size))
                    return false;
            } else {
                void* block = std::realloc(buffer->data, size);
                if (!block)
                    return false;
                buffer->data = static_cast<unsigned char*>(block);
                buffer->capacity = static_cast<std::int32_t>(size);
            }
            continue;
        }
        const std::int32_t remaining = bodyLength - received;
        const int ask = room < remaining ? static_cast<int>(room) : remaining;
        const int n = ReadFrameBytes(s, buffer->data + received, ask, frame, "2-KLVrecv()");
        if (n <= 0)
            return false;
        received += n;
        if (!streams || received == bodyLength)
            continue;
        if (threaded && !worker.worker) { // the body is still on its way: hand the work over
            ReceiveWorker* w = ReceiveWorker::Get();
            if (w && w->Take(&work, buffer->data))
                worker.worker = w;
        }
        if (worker.worker) {
            worker.worker->Arrived(static_cast<std::size_t>(received));
        } else {
            const std::size_t end = work.WorkableEnd(static_cast<std::size_t>(received));
            work.Work(buffer->data, done, end);
            done = std::max(done, end);
        }
    }
    buffer->length = bodyLength;
    if (!streams) {
        *result = UnwrapMessage(buffer, header[0], header[1], maxLength, inflateBlock);
        return true;
    }
    if (worker.worker) { // the reader finishes what the worker has not reached
        done = std::max(done, worker.worker->Release());
        worker.worker = nullptr;
    }
    g_workedAhead = static_cast<long long>(done);
    work.Work(buffer->data, done, work.WorkableEnd(static_cast<std::size_t>(bodyLength)));
    *result = work.Finish(buffer);
    return true;
}

} // namespace frame_io
