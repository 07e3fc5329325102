#include "session/session_state.h"

KlvSocket ServerSocket = KLV_INVALID_SOCKET;
char ServerAddress[100];
char RequestedFileName[kRequestedFileNameCapacity];
char LocalFilePath[kLocalFilePathCapacity];
int IgnoreSocketEvents = 0;
int SessionReadBusy = 0;
int FileCount = 0;
std::uint32_t SessionGeneration = 0;

std::int32_t ExpectedSize = 0;
unsigned char* ReceiveBuffer = nullptr;
std::int32_t PendingBytes = 0;
std::int32_t ReceivedBytes = 0;
std::int32_t PieceSize = 0;
std::FILE* ReceiveFile = nullptr;
std::int32_t LastPercent = -1;
std::int32_t ProgressDelta = 0;
