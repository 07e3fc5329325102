// wire_client.exe: the reference that wire_bench measures Install.exe against. The same
// conversation with the server on 127.0.0.1:11001 and the same frames, written the plainest
// way: blocking Winsock, one recv loop per frame, no window messages.
//
//   wire_client.exe get <local file>   setup-mode download of /usr/orvane/bin/Setup.exe, with
//                                      the 1 ms wait per piece and the 3000000-byte
//                                      write-behind buffer of the utility; compressed
//                                      messages are inflated with zlib's uncompress() into a
//                                      block kept for the whole run
//   wire_client.exe put <name>         upload of C:\orvane\winsupport\<name> in 1100-byte pieces
//
// Exit status 0 when the transfer completed, 1 otherwise, 2 on a usage error.
#include <winsock2.h>
#include <windows.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "install/held_file_win.h"
#include "install/permissions.h"
#include "install/permissions_win.h"
#include "platform/byte_order.h"

#include "transport/framing.h"
#include "transport/protection.h"
#include "crypto/sha256.h"

namespace {

constexpr std::size_t kFlushThreshold = 3000000;
constexpr std::size_t kUploadPiece = 1100;
// The largest message the utility takes in: a piece filling its write-behind buffer.
constexpr std::size_t kLargestMessage = 3000200;

bool SendAll(SOCKET s, const unsigned char* bytes, std::size_t length) {
    while (length > 0) {
        const int n = send(s, reinterpret_cast<const char*>(bytes), static_cast<int>(length), 0);
        if (n <= 0)
            return false;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReceiveAll(SOCKET s, unsigned char* bytes, std::size_t length) {
    while (length > 0) {
        const int n = recv(s, reinterpret_cast<char*>(bytes), static_cast<int>(length), 0);
        if (n <= 0)
            return false;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// One plain frame: header and payload from one block, as the utility sends them.
bool SendFrame(SOCKET s, const void* payload, std::size_t length,
               std::vector<unsigned char>* block) {
    block->resize(kFrameHeaderSize + length);
    unsigned char* b = block->data();
    b[0] = 0;
    b[1] = 0;
    StoreLe32(b + 2, static_cast<std::uint32_t>(length));
    std::memcpy(b + kFrameHeaderSize, payload, length);
    return SendAll(s, b, block->size());
}

// One frame's payload into *payload (reused between frames); a compressed one is inflated into
// *inflated (kept too), and the two trade places. False when the connection ends, the check
// value does not verify or the payload does not inflate.
bool ReceiveFrame(SOCKET s, std::vector<unsigned char>* payload, std::size_t* length,
                  std::vector<unsigned char>* inflated) {
    unsigned char header[kFrameHeaderSize];
    if (!ReceiveAll(s, header, sizeof header))
        return false;
    const std::int32_t body = static_cast<std::int32_t>(LoadLe32(header + 2));
    if (body < 0)
        return false;
    if (payload->size() < static_cast<std::size_t>(body) + 1)
        payload->resize(static_cast<std::size_t>(body) + 1);
    if (!ReceiveAll(s, payload->data(), static_cast<std::size_t>(body)))
        return false;
    std::size_t n = static_cast<std::size_t>(body);
    if (header[1] != 0) {
        if (UnprotectMessage(payload->data(), n, header[1]) != 0)
            return false;
        if (header[1] & PROT_AES_CHECK)
            n -= kCheckValueSize;
    }
    if (header[0] != 0) {
        if (inflated->size() < kLargestMessage + 1)
            inflated->resize(kLargestMessage + 1);
        uLongf size = kLargestMessage;
        if (uncompress(inflated->data(), &size, payload->data(), static_cast<uLong>(n)) != Z_OK)
            return false;
        payload->swap(*inflated);
        n = size;
    }
    (*payload)[n] = 0;
    *length = n;
    return true;
}

SOCKET Connect() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(11001);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Writes the held bytes as Install.exe does, in 64 KiB writes.
void WriteHeld(const unsigned char* bytes, std::size_t count, std::FILE* file) {
    for (std::size_t done = 0; done < count;) {
        const std::size_t part = count - done < (1u << 16) ? count - done : (1u << 16);
        std::fwrite(bytes + done, 1, part, file);
        done += part;
    }
}

// "<transfer ms> <hold, grant and check ms>" into <localPath>.rehash: what the steps between
// the last piece and the start cost beside the transfer that brought the file, as Install.exe
// takes them without a policy: the hold, the "Everyone" grant on the held handle, the re-hash
// through it and the look at its first bytes.
void NoteRehashCost(const char* localPath, const FileDigest& digest, ULONGLONG transferStart) {
    const ULONGLONG received = GetTickCount64();
    HeldFile heldFile;
    const bool held = heldFile.Hold(localPath, WRITE_DAC | READ_CONTROL);
    const bool granted =
        held && AddAceToObjectSecurity(heldFile.Handle(), "Everyone", kGenericAll) != 0;
    const bool same = granted && heldFile.CompareWith(digest) == HeldVerdict::Same;
    heldFile.StartsLike(false); // timed only: the benchmark's file is no program
    const ULONGLONG rehashed = GetTickCount64();
    if (std::FILE* out = std::fopen((std::string(localPath) + ".rehash").c_str(), "wb")) {
        std::fprintf(out, "%llu %llu %s\n", received - transferStart, rehashed - received,
                     !held      ? "not-held"
                     : !granted ? "not-granted"
                     : same     ? "same"
                                : "differs");
        std::fclose(out);
    }
}

int Download(SOCKET s, const char* localPath) {
    Sha256Context digest;
    Sha256Init(&digest);
    ULONGLONG transferStart = 0;
    std::vector<unsigned char> frame, message, inflated;
    const char command[] = "-EFTPMODE -F/usr/orvane/bin/Setup.exe";
    if (!SendFrame(s, command, std::strlen(command), &frame))
        return 1;
    const char ack[] = "NO NEED TO ARGUE";
    std::vector<unsigned char> pending;
    std::size_t expected = 0, held = 0, received = 0, piece = 0;
    std::FILE* file = nullptr;
    for (;;) {
        std::size_t length = 0;
        if (!ReceiveFrame(s, &message, &length, &inflated) || length == 0)
            return 1;
        const char* text = reinterpret_cast<const char*>(message.data() + 1);
        switch (message[0]) {
        case 1: // FILE_SIZE
            expected = std::strtoul(text, nullptr, 10);
            transferStart = GetTickCount64();
            pending.resize(expected <= kFlushThreshold ? expected : kFlushThreshold + 100);
            held = 0;
            break;
        case 3: // FILE_DESTINATION
            file = std::fopen(localPath, "wb");
            if (!file)
                return 1;
            break;
        case 5: // DATA_SIZE
            piece = std::strtoul(text, nullptr, 10);
            break;
        case 4: // FILE_DATA
            Sleep(1);
            if (!file || piece > length - 1 || piece > pending.size())
                return 1;
            if (piece + held > kFlushThreshold) {
                WriteHeld(pending.data(), held, file);
                held = 0;
            }
            std::memcpy(pending.data() + held, message.data() + 1, piece);
            Sha256Update(&digest, message.data() + 1, piece);
            held += piece;
            received += piece;
            if (!SendFrame(s, ack, std::strlen(ack), &frame))
                return 1;
            if (received >= expected) {
                WriteHeld(pending.data(), held, file);
                std::fclose(file);
                FileDigest whole;
                whole.size = received;
                Sha256Final(&digest, whole.sha256);
                NoteRehashCost(localPath, whole, transferStart);
                return 0;
            }
            break;
        default:
            return 1;
        }
    }
}

int Upload(SOCKET s, const char* name) {
    std::vector<unsigned char> frame, message, inflated;
    const std::string command = std::string("-EFTPPUSHMODE -F") + name;
    if (!SendFrame(s, command.data(), command.size(), &frame))
        return 1;
    std::size_t length = 0;
    if (!ReceiveFrame(s, &message, &length, &inflated) || length == 0 || message[0] != 7)
        return 1;
    const std::string path = std::string("C:\\orvane\\winsupport\\") + name;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return 1;
    std::string nameMessage = std::string(1, '\x11') + name;
    nameMessage += '\0';
    bool ok = SendFrame(s, nameMessage.data(), nameMessage.size(), &frame);
    unsigned char piece[1 + kUploadPiece];
    piece[0] = 0x11;
    std::size_t count = 0;
    do {
        count = std::fread(piece + 1, 1, kUploadPiece, file);
        if (count > 0)
            ok = ok && SendFrame(s, piece, count + 1, &frame);
        else
            ok = ok && SendFrame(s,
                                 "\x11"
                                 "DONE",
                                 6, &frame);
    } while (ok && count == kUploadPiece);
    std::fclose(file);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "get") != 0 && std::strcmp(argv[1], "put") != 0))
        return 2;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    SOCKET s = Connect();
    int result = 1;
    if (s != INVALID_SOCKET) {
        result = std::strcmp(argv[1], "get") == 0 ? Download(s, argv[2]) : Upload(s, argv[2]);
        shutdown(s, SD_BOTH);
        closesocket(s);
    }
    WSACleanup();
    return result;
}
