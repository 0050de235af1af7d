#include "tools/logdecode/log_decoder.h"

#include "log/log_format.h"
#include "sim/rtl/utf8.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace vextools {

namespace {

uint32_t ReadU32(const unsigned char* body, size_t offset)
{
    return (uint32_t)body[offset] | (uint32_t)body[offset + 1] << 8 | (uint32_t)body[offset + 2] << 16 |
           (uint32_t)body[offset + 3] << 24;
}

// The text of a NUL-terminated UTF-16 field of at most `units` units; an unterminated field
// yields all of its units.
std::string ReadText(const unsigned char* body, size_t offset, size_t units)
{
    std::u16string text;
    for (size_t i = 0; i < units; i++) {
        char16_t unit = (char16_t)(body[offset + 2 * i] | body[offset + 2 * i + 1] << 8);
        if (unit == 0) {
            break;
        }
        text.push_back(unit);
    }
    return vexsim::Utf16ToUtf8(text);
}

}  // namespace

std::string LogLevelName(uint32_t level)
{
    switch (level) {
    case 0x01:
    case 0x02:
        return "Info";
    case 0x04:
    case 0x08:
        return "Warn";
    case 0x10:
    case 0x20:
        return "Error";
    case 0x40:
        return "Trace";
    default: {
        char name[16];
        std::snprintf(name, sizeof(name), "0x%x", level);
        return name;
    }
    }
}

std::vector<LogRecord> DecodeLogRecords(const void* data, size_t size)
{
    if (size % LOG_RECORD_BODY_SIZE != 0) {
        throw std::invalid_argument("log data of " + std::to_string(size) + " bytes is not a whole number of " +
                                    std::to_string(LOG_RECORD_BODY_SIZE) + "-byte records");
    }
    std::vector<LogRecord> records;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (size_t offset = 0; offset < size; offset += LOG_RECORD_BODY_SIZE) {
        const unsigned char* body = bytes + offset;
        LogRecord record;
        record.level = ReadU32(body, LOG_LEVEL_OFFSET);
        record.levelName = LogLevelName(record.level);
        record.processId = ReadU32(body, LOG_PROCESS_ID_OFFSET);
        record.processName = ReadText(body, LOG_PROCESS_NAME_OFFSET, LOG_PROCESS_NAME_CHARS);
        record.message = ReadText(body, LOG_MESSAGE_OFFSET, LOG_MESSAGE_CHARS);
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace vextools
