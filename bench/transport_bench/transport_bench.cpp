// Throughput of the transport, each figure beside a reference measured in the same run:
//   ciphers and digest     - OpenSSL on the same bytes (counter vs_openssl = ours / OpenSSL);
//                            AES-128-CTR and SHA-256 once on the portable code (argument 0) and
//                            once on the path the CPU allows (argument 1), labelled with the
//                            path that ran
//   frame send + receive   - raw send/recv of the same number of bytes on the same loopback
//   streamed receive       - the same frames received whole and then worked on
//   decompression          - zlib's uncompress() into a kept and into a fresh block
//                            (decompression_bench.cpp)
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crypto/crypto_path.h"
#include "transport/framing.h"
#include "transport/protection.h"
#include "crypto/sha256.h"

namespace {

// The ciphers' rates and ratios use this thread's CPU time: on a shared machine the wall time
// also counts the time other processes held the core, and so the ratio would depend on the load.
double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
constexpr std::size_t kCipherBytes = 64 * 1024;

std::vector<unsigned char> RandomBytes(std::size_t n) {
    std::mt19937 rng(42);
    std::vector<unsigned char> v(n);
    for (auto& b : v)
        b = static_cast<unsigned char>(rng());
    return v;
}

// Text that compresses roughly like a listing or a log: about 4:1.
std::vector<unsigned char> TextBytes(std::size_t n) {
    std::mt19937 rng(7);
    std::string s;
    while (s.size() < n)
        s += "record " + std::to_string(rng() % 100000) + " value=" + std::to_string(rng() % 997) +
             " state=OK path=/usr/orvane/bin/file" + std::to_string(rng() % 50) + "\n";
    s.resize(n);
    return std::vector<unsigned char>(s.begin(), s.end());
}

// Bytes per second of the reference run of each operation, keyed by name.
std::map<std::string, double> g_reference;

void Report(benchmark::State& state, const char* name, bool reference, double seconds,
            std::size_t bytesPerIteration) {
    const double rate = static_cast<double>(state.iterations()) * bytesPerIteration / seconds;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytesPerIteration));
    if (reference) {
        g_reference[name] = rate;
    } else if (g_reference.count(name)) {
        state.counters["vs_openssl"] = rate / g_reference[name];
    }
}

const EVP_CIPHER* Cipher(const char* name) {
    static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    static OSSL_PROVIDER* standard = OSSL_PROVIDER_load(nullptr, "default");
    (void)legacy;
    (void)standard;
    return EVP_CIPHER_fetch(nullptr, name, nullptr);
}

void OpenSslCipher(benchmark::State& state, const char* cipherName, const unsigned char* key,
                   int keyLength, const char* name) {
    const EVP_CIPHER* cipher = Cipher(cipherName);
    if (!cipher) {
        state.SkipWithError("cipher not available");
        return;
    }
    std::vector<unsigned char> data = RandomBytes(kCipherBytes);
    std::vector<unsigned char> out(kCipherBytes + 32);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    unsigned char iv[16] = {0};
    const double start = ThreadSeconds();
    for (auto _ : state) {
        int n = 0;
        // A fresh key schedule per message, as the transport does.
        EVP_EncryptInit_ex(ctx, cipher, nullptr, nullptr, nullptr);
        EVP_CIPHER_CTX_set_key_length(ctx, keyLength);
        EVP_EncryptInit_ex(ctx, nullptr, nullptr, key, iv);
        EVP_EncryptUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size()));
        benchmark::DoNotOptimize(out.data());
    }
    const double seconds = ThreadSeconds() - start;
    EVP_CIPHER_CTX_free(ctx);
    Report(state, name, true, seconds, kCipherBytes);
}

void BM_BlowfishCfb64_OpenSSL(benchmark::State& state) {
    OpenSslCipher(state, "BF-CFB", PayloadKeyArea(), 8, "blowfish");
}
void BM_BlowfishCfb64_Ours(benchmark::State& state) {
    std::vector<unsigned char> data = RandomBytes(kCipherBytes);
    const double start = ThreadSeconds();
    for (auto _ : state) {
        BlowfishCfbEncrypt(data.data(), data.size(), kPayloadKeySelector);
        benchmark::DoNotOptimize(data.data());
    }
    Report(state, "blowfish", false, ThreadSeconds() - start, kCipherBytes);
}

void BM_Aes128Ctr_OpenSSL(benchmark::State& state) {
    OpenSslCipher(state, "AES-128-CTR", AesKeyArea(), 16, "aes");
}
// range(0): 0 = portable code forced, 1 = the CPU's crypto instructions where it has them. The
// caller returns to the CPU's choice when done.
void SelectCryptoPath(benchmark::State& state, bool (*instructionsInUse)(),
                      const char* instructions) {
    UseCryptoInstructions(state.range(0) != 0);
    state.SetLabel(instructionsInUse() ? instructions : "portable");
}

void BM_Aes128Ctr_Ours(benchmark::State& state) {
    SelectCryptoPath(state, AesInstructionsInUse, "AES-NI");
    std::vector<unsigned char> data = RandomBytes(kCipherBytes);
    const double start = ThreadSeconds();
    for (auto _ : state) {
        AesCtrCrypt(data.data(), data.size());
        benchmark::DoNotOptimize(data.data());
    }
    Report(state, "aes", false, ThreadSeconds() - start, kCipherBytes);
    UseCryptoInstructions(true);
}

void BM_Sha256_OpenSSL(benchmark::State& state) {
    std::vector<unsigned char> data = RandomBytes(kCipherBytes);
    unsigned char digest[32];
    unsigned int length = 0;
    const double start = ThreadSeconds();
    for (auto _ : state) {
        EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    Report(state, "sha256", true, ThreadSeconds() - start, kCipherBytes);
}
void BM_Sha256_Ours(benchmark::State& state) {
    SelectCryptoPath(state, ShaInstructionsInUse, "SHA extensions");
    std::vector<unsigned char> data = RandomBytes(kCipherBytes);
    unsigned char digest[32];
    const double start = ThreadSeconds();
    for (auto _ : state) {
        Sha256(data.data(), data.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    Report(state, "sha256", false, ThreadSeconds() - start, kCipherBytes);
    UseCryptoInstructions(true);
}

BENCHMARK(BM_BlowfishCfb64_OpenSSL);
BENCHMARK(BM_BlowfishCfb64_Ours);
BENCHMARK(BM_Aes128Ctr_OpenSSL);
BENCHMARK(BM_Aes128Ctr_Ours)->Arg(0)->Arg(1);
BENCHMARK(BM_Sha256_OpenSSL);
BENCHMARK(BM_Sha256_Ours)->Arg(0)->Arg(1);

// A connected loopback pair (127.0.0.1) and a sender thread that sends one message per request.
class LoopbackSender {
  public:
    explicit LoopbackSender(bool framed) : framed_(framed) {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), size);
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        receiver_ = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(receiver_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        sender_ = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        const int one = 1;
        ::setsockopt(sender_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        thread_ = std::thread([this] { Run(); });
    }
    ~LoopbackSender() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
        ::close(sender_);
        ::close(receiver_);
    }
    void Request(const std::vector<unsigned char>* payload, int options) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            payload_ = payload;
            options_ = options;
            ++requests_;
        }
        wake_.notify_one();
    }
    KlvSocket Receiver() const { return static_cast<KlvSocket>(receiver_); }
    int ReceiverFd() const { return receiver_; }

  private:
    void Run() {
        std::vector<unsigned char> scratch;
        long done = 0;
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stop_ || requests_ > done; });
            if (stop_)
                return;
            const std::vector<unsigned char>* payload = payload_;
            const int options = options_;
            ++done;
            lock.unlock();
            if (framed_) {
                scratch = *payload; // compression works in place
                SendMessageWithSize(static_cast<KlvSocket>(sender_), scratch.data(),
                                    static_cast<std::int32_t>(scratch.size()), options);
            } else {
                std::size_t sent = 0;
                while (sent < payload->size()) {
                    const ssize_t n =
                        ::send(sender_, payload->data() + sent, payload->size() - sent, 0);
                    if (n <= 0)
                        break;
                    sent += static_cast<std::size_t>(n);
                }
            }
        }
    }

    bool framed_;
    int sender_ = -1;
    int receiver_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    const std::vector<unsigned char>* payload_ = nullptr;
    int options_ = 0;
    long requests_ = 0;
    bool stop_ = false;
};

// Frame send plus KLVrecv; range(0) = payload bytes, range(1) = send options.
void BM_FrameSendReceive(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const int options = static_cast<int>(state.range(1));
    const std::vector<unsigned char> payload = TextBytes(size);
    LoopbackSender sender(true);
    MessageBuffer buffer;
    InitMessageBuffer(&buffer);
    for (auto _ : state) {
        sender.Request(&payload, options);
        do {
            buffer.length = 0;
            if (KLVrecv(sender.Receiver(), &buffer) != 1) {
                state.SkipWithError("receive failed");
                break;
            }
        } while (buffer.length == 0);
        if (static_cast<std::size_t>(buffer.length) != size) {
            state.SkipWithError("wrong length");
            break;
        }
    }
    FreeMessageBuffer(&buffer);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    state.SetLabel((options & SEND_NOCOMPRESS ? std::string("plain") : std::string("zlib")) +
                   (options & SEND_AES_CHECK    ? "+aes+check"
                    : (options & SEND_BLOWFISH) ? "+blowfish"
                                                : ""));
}

// Reference: the same bytes with send/recv and nothing else.
void BM_RawSendReceive(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const std::vector<unsigned char> payload = TextBytes(size);
    std::vector<unsigned char> in(size);
    LoopbackSender sender(false);
    for (auto _ : state) {
        sender.Request(&payload, 0);
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = ::recv(sender.ReceiverFd(), in.data() + got, size - got, 0);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void FrameArguments(benchmark::internal::Benchmark* b) {
    for (long size : {1100L, 64L * 1024, 1024L * 1024}) {
        b->Args({size, SEND_NOCOMPRESS});
        b->Args({size, 0});
        b->Args({size, SEND_NOCOMPRESS | SEND_AES_CHECK});
        b->Args({size, SEND_AES_CHECK});
        b->Args({size, SEND_NOCOMPRESS | SEND_BLOWFISH});
    }
}

// The streamed receive against the same frames received whole and then worked on: range(0) =
// payload bytes, range(1) = send options, range(2) = ReceiveWork (0 whole, 1 between reads, as
// the program runs, 2 the worker thread). Wall time per frame (send included), and the receiving
// thread's CPU time per frame (counter recv_cpu_us; a worker thread's time is not in it). The
// payload is text that compresses about 4:1.
void BM_StreamedReceive(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const int options = static_cast<int>(state.range(1));
    const ReceiveWork work = static_cast<ReceiveWork>(state.range(2));
    const ReceiveWork previous = SetReceiveWork(work);
    // The frame is built once and sent as raw bytes: the sender's own compression and
    // encryption stay out of the receive's time.
    std::vector<unsigned char> payload = TextBytes(size);
    unsigned char* built = nullptr;
    std::size_t builtLength = 0;
    BuildFrame(payload.data(), static_cast<std::int32_t>(size), options, &built, &builtLength);
    const std::vector<unsigned char> frame(built, built + builtLength);
    std::free(built);
    LoopbackSender sender(false);
    MessageBuffer buffer, inflated{0, 0, nullptr};
    InitMessageBuffer(&buffer);
    double cpu = 0;
    for (auto _ : state) {
        sender.Request(&frame, 0);
        const double start = ThreadSeconds();
        do {
            buffer.length = 0;
            if (KLVrecv(sender.Receiver(), &buffer, kMaxMessageLength, &inflated) != 1) {
                state.SkipWithError("receive failed");
                break;
            }
        } while (buffer.length == 0);
        cpu += ThreadSeconds() - start;
        if (static_cast<std::size_t>(buffer.length) != size) {
            state.SkipWithError("wrong length");
            break;
        }
    }
    FreeMessageBuffer(&buffer);
    FreeMessageBuffer(&inflated);
    SetReceiveWork(previous);
    state.counters["recv_cpu_us"] =
        state.iterations() ? cpu * 1e6 / static_cast<double>(state.iterations()) : 0;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    static const char* const kWork[] = {"whole", "between reads", "worker"};
    state.SetLabel(std::string(options & SEND_NOCOMPRESS ? "plain" : "zlib") +
                   (options & SEND_AES_CHECK ? "+aes+check " : " ") + kWork[state.range(2)]);
}

void StreamedArguments(benchmark::internal::Benchmark* b) {
    for (long size : {64L * 1024, 1024L * 1024})
        for (long options : {SEND_NOCOMPRESS, SEND_NOCOMPRESS | SEND_AES_CHECK, 0, SEND_AES_CHECK})
            for (long work : {0, 1, 2})
                b->Args({size, options, work});
}

BENCHMARK(BM_RawSendReceive)->Arg(1100)->Arg(64 * 1024)->Arg(1024 * 1024)->UseRealTime();
BENCHMARK(BM_FrameSendReceive)->Apply(FrameArguments)->UseRealTime();
BENCHMARK(BM_StreamedReceive)->Apply(StreamedArguments)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
