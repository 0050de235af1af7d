#include "tools/processmsg/process_message_decoder.h"

#include "notify/process_message_format.h"
#include "sim/rtl/utf8.h"

#include <stdexcept>

namespace vextools {

namespace {

uint32_t ReadU32(const unsigned char* bytes, size_t offset)
{
    return (uint32_t)bytes[offset] | (uint32_t)bytes[offset + 1] << 8 | (uint32_t)bytes[offset + 2] << 16 |
           (uint32_t)bytes[offset + 3] << 24;
}

[[noreturn]] void Invalid(const std::string& what)
{
    throw std::invalid_argument(what);
}

// Decodes the message at the start of bytes (size bytes available) and returns its length.
size_t DecodeAt(const unsigned char* bytes, size_t size, ProcessMessage* message)
{
    if (size < PROCESS_MESSAGE_HEADER_SIZE) {
        Invalid("a process message needs " + std::to_string(PROCESS_MESSAGE_HEADER_SIZE) + " bytes, " +
                std::to_string(size) + " are left");
    }
    uint32_t commandLineLength = ReadU32(bytes, PROCESS_MESSAGE_COMMAND_LINE_LENGTH_OFFSET);
    if (commandLineLength % 2 != 0) {
        Invalid("a command line of " + std::to_string(commandLineLength) + " bytes is no UTF-16 text");
    }
    if (commandLineLength > size - PROCESS_MESSAGE_HEADER_SIZE) {
        Invalid("a command line of " + std::to_string(commandLineLength) + " bytes runs past the data");
    }
    message->processId = ReadU32(bytes, PROCESS_MESSAGE_PROCESS_ID_OFFSET);
    message->started = ReadU32(bytes, PROCESS_MESSAGE_STARTED_OFFSET) != 0;
    message->flags = ReadU32(bytes, PROCESS_MESSAGE_FLAGS_OFFSET);
    message->is64bit = (message->flags & PROCESS_FLAG_64BIT) != 0;
    message->console = (message->flags & PROCESS_FLAG_CUI) != 0;
    message->surrogate = (message->flags & PROCESS_FLAG_SURROGATE) != 0;
    std::u16string text;
    for (uint32_t i = 0; i < commandLineLength; i += 2) {
        const unsigned char* unit = bytes + PROCESS_MESSAGE_COMMAND_LINE_OFFSET + i;
        text.push_back((char16_t)(unit[0] | unit[1] << 8));
    }
    message->commandLine = vexsim::Utf16ToUtf8(text);
    return PROCESS_MESSAGE_HEADER_SIZE + commandLineLength;
}

}  // namespace

ProcessMessage DecodeProcessMessage(const void* data, size_t size)
{
    ProcessMessage message;
    if (DecodeAt(static_cast<const unsigned char*>(data), size, &message) != size) {
        Invalid("a process message of " + std::to_string(size) + " bytes has bytes after its command line");
    }
    return message;
}

uint32_t ListingTotalLength(const void* data, size_t size)
{
    if (size < PROCESS_LISTING_HEADER_SIZE) {
        Invalid("a listing begins with a 4-byte length");
    }
    return ReadU32(static_cast<const unsigned char*>(data), 0);
}

std::vector<ProcessMessage> DecodeProcessListing(const void* data, size_t size)
{
    uint32_t total = ListingTotalLength(data, size);
    if (total != size) {
        Invalid("a listing of " + std::to_string(total) + " bytes arrived in " + std::to_string(size));
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::vector<ProcessMessage> messages;
    for (size_t at = PROCESS_LISTING_HEADER_SIZE; at < size;) {
        ProcessMessage message;
        at += DecodeAt(bytes + at, size - at, &message);
        messages.push_back(std::move(message));
    }
    return messages;
}

std::string DescribeProcessMessage(const ProcessMessage& message)
{
    std::string text = "pid " + std::to_string(message.processId) + (message.started ? " started " : " exited ") +
                       (message.is64bit ? "64bit" : "32bit");
    if (message.console) {
        text += " CUI";
    }
    if (message.surrogate) {
        text += " surrogate";
    }
    if (!message.commandLine.empty()) {
        text += " CommandLine = " + message.commandLine;
    }
    return text;
}

}  // namespace vextools
