// AdminRequest records: the requests sent to the AdminService and to the elevated helper.
// Integers are 32-bit little-endian, strings are zero-terminated, no gaps between fields.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr std::int32_t ADMIN_REQUEST_CREATE_PROCESS = 1;       // start a program as admin
constexpr std::int32_t ADMIN_REQUEST_CREATE_PROCESS_USER = 16; // ... in the caller's session
constexpr std::int32_t ADMIN_REQUEST_SET_PERMISSIONS = 5;      // read by the elevated helper

// Records are assembled in an area of this size; a record that does not fit is refused.
constexpr std::size_t kAdminRequestCapacity = 1000;

// Program field that means "the arguments field is the whole command line".
constexpr const char* kAdminNullProgram = "NULL";

struct AdminRequestArea {
    unsigned char bytes[kAdminRequestCapacity];
    std::size_t length;
};

// Each returns the record length, or 0 when the strings do not fit (nothing is overrun).
std::size_t BuildCreateProcessRequest(AdminRequestArea* area, const char* program,
                                      const char* arguments);
std::size_t BuildCreateProcessUserRequest(AdminRequestArea* area, std::uint32_t session,
                                          const char* program, const char* arguments,
                                          std::int32_t option);
std::size_t BuildSetPermissionsRequest(AdminRequestArea* area, std::int32_t value);

// A record as the AdminService reads it back.
struct ParsedAdminRequest {
    std::int32_t kind;
    std::uint32_t session; // kind 16
    const char* program;   // kinds 1 and 16, points into the record
    const char* arguments; // kinds 1 and 16, points into the record
    std::int32_t option;   // kind 16; the value for kind 5
};

enum class AdminParseResult {
    Ok,
    TooShort,      // fewer bytes than the kind's fixed fields
    MissingZero,   // a string field has no terminating zero inside the record
    UnknownKind,   // not 1, 5 or 16
    TrailingBytes, // bytes left after the last field
};

AdminParseResult ParseAdminRequest(const unsigned char* record, std::size_t length,
                                   ParsedAdminRequest* out);
const char* AdminParseResultText(AdminParseResult result);

// The command line the AdminService starts: program, a blank, arguments; or the arguments alone
// when the program field is "NULL" (an empty arguments field adds nothing). Returns false when it
// does not fit outSize (out is then the empty text).
bool AdminCommandLine(const char* program, const char* arguments, char* out, std::size_t outSize);
