#include "install/admin_request.h"

#include <cstring>

#include "platform/byte_order.h"

namespace {
// Copies text and its zero byte at offset; returns the offset after it.
std::size_t PutString(unsigned char* area, std::size_t offset, const char* text,
                      std::size_t length) {
    std::memcpy(area + offset, text, length);
    area[offset + length] = 0;
    return offset + length + 1;
}

// Finds the zero byte ending the string at offset; returns false when there is none.
bool TakeString(const unsigned char* record, std::size_t length, std::size_t* offset,
                const char** text) {
    const void* zero = std::memchr(record + *offset, 0, length - *offset);
    if (!zero)
        return false;
    *text = reinterpret_cast<const char*>(record + *offset);
    *offset = static_cast<const unsigned char*>(zero) - record + 1;
    return true;
}

std::size_t Refuse(AdminRequestArea* area) {
    area->length = 0;
    return 0;
}
} // namespace

std::size_t BuildCreateProcessRequest(AdminRequestArea* area, const char* program,
                                      const char* arguments) {
    std::size_t lp = std::strlen(program);
    std::size_t la = std::strlen(arguments);
    if (lp > kAdminRequestCapacity || la > kAdminRequestCapacity ||
        lp + la + 6 > kAdminRequestCapacity)
        return Refuse(area);
    std::memset(area->bytes, 0, sizeof area->bytes);
    StoreLe32(area->bytes, ADMIN_REQUEST_CREATE_PROCESS);
    std::size_t offset = PutString(area->bytes, 4, program, lp);
    offset = PutString(area->bytes, offset, arguments, la);
    area->length = offset;
    return offset;
}

std::size_t BuildCreateProcessUserRequest(AdminRequestArea* area, std::uint32_t session,
                                          const char* program, const char* arguments,
                                          std::int32_t option) {
    std::size_t lp = std::strlen(program);
    std::size_t la = std::strlen(arguments);
    if (lp > kAdminRequestCapacity || la > kAdminRequestCapacity ||
        lp + la + 14 > kAdminRequestCapacity)
        return Refuse(area);
    std::memset(area->bytes, 0, sizeof area->bytes);
    StoreLe32(area->bytes, ADMIN_REQUEST_CREATE_PROCESS_USER);
    StoreLe32(area->bytes + 4, session);
    std::size_t offset = PutString(area->bytes, 8, program, lp);
    offset = PutString(area->bytes, offset, arguments, la);
    StoreLe32(area->bytes + offset, static_cast<std::uint32_t>(option));
    area->length = offset + 4;
    return area->length;
}

std::size_t BuildSetPermissionsRequest(AdminRequestArea* area, std::int32_t value) {
    std::memset(area->bytes, 0, sizeof area->bytes);
    StoreLe32(area->bytes, ADMIN_REQUEST_SET_PERMISSIONS);
    StoreLe32(area->bytes + 4, static_cast<std::uint32_t>(value));
    area->length = 8;
    return 8;
}

AdminParseResult ParseAdminRequest(const unsigned char* record, std::size_t length,
                                   ParsedAdminRequest* out) {
    *out = ParsedAdminRequest{0, 0, nullptr, nullptr, 0};
    if (!record || length < 4)
        return AdminParseResult::TooShort;
    out->kind = static_cast<std::int32_t>(LoadLe32(record));
    std::size_t offset = 4;
    switch (out->kind) {
    case ADMIN_REQUEST_SET_PERMISSIONS:
        if (length < 8)
            return AdminParseResult::TooShort;
        out->option = static_cast<std::int32_t>(LoadLe32(record + 4));
        return length == 8 ? AdminParseResult::Ok : AdminParseResult::TrailingBytes;
    case ADMIN_REQUEST_CREATE_PROCESS:
        if (length < 6)
            return AdminParseResult::TooShort;
        break;
    case ADMIN_REQUEST_CREATE_PROCESS_USER:
        if (length < 14)
            return AdminParseResult::TooShort;
        out->session = LoadLe32(record + 4);
        offset = 8;
        break;
    default:
        return AdminParseResult::UnknownKind;
    }
    std::size_t stringsEnd = out->kind == ADMIN_REQUEST_CREATE_PROCESS_USER ? length - 4 : length;
    if (!TakeString(record, stringsEnd, &offset, &out->program) ||
        !TakeString(record, stringsEnd, &offset, &out->arguments))
        return AdminParseResult::MissingZero;
    if (out->kind == ADMIN_REQUEST_CREATE_PROCESS_USER)
        out->option = static_cast<std::int32_t>(LoadLe32(record + stringsEnd));
    return offset == stringsEnd ? AdminParseResult::Ok : AdminParseResult::TrailingBytes;
}

const char* AdminParseResultText(AdminParseResult result) {
    switch (result) {
    case AdminParseResult::Ok:
        return "ok";
    case AdminParseResult::TooShort:
        return "record too short";
    case AdminParseResult::MissingZero:
        return "string field without its zero byte";
    case AdminParseResult::UnknownKind:
        return "unknown request kind";
    case AdminParseResult::TrailingBytes:
        return "bytes after the last field";
    }
    return "?";
}

bool AdminCommandLine(const char* program, const char* arguments, char* out, std::size_t outSize) {
    if (outSize == 0)
        return false;
    out[0] = '\0';
    std::size_t lp = std::strlen(program);
    std::size_t la = std::strlen(arguments);
    bool argumentsAlone = std::strcmp(program, kAdminNullProgram) == 0;
    std::size_t needed = argumentsAlone ? la : (la == 0 ? lp : lp + 1 + la);
    if (needed + 1 > outSize)
        return false;
    if (argumentsAlone) {
        std::memcpy(out, arguments, la + 1);
    } else {
        std::memcpy(out, program, lp);
        if (la) {
            out[lp] = ' ';
            std::memcpy(out + lp + 1, arguments, la);
        }
        out[needed] = '\0';
    }
    return true;
}
