// Decodes what the driver tells user mode about processes: the PROCESS_MESSAGE a port client
// receives, and the listings IOCTL_GET_CUI_PID_LIST and IOCTL_GET_SURROGATE_PID_LIST return.
// Host code for tests, the scenario runner and the control client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vextools {

struct ProcessMessage {
    uint32_t processId = 0;
    bool started = false;     // false: the process exited
    uint32_t flags = 0;       // as sent, unknown bits included
    bool is64bit = false;
    bool console = false;
    bool surrogate = false;
    std::string commandLine;  // UTF-8; empty when none was sent
};

// Exactly one message. Throws std::invalid_argument when the bytes are shorter than its header,
// its command line is not a whole number of UTF-16 units, or its length disagrees with size.
ProcessMessage DecodeProcessMessage(const void* data, size_t size);

// The length a listing says it has (its first u32): the whole listing, or after
// STATUS_BUFFER_TOO_SMALL the size of buffer the request needs. Throws when size is below 4.
uint32_t ListingTotalLength(const void* data, size_t size);

// A whole listing: TotalLength equal to size, then messages that fill it exactly. Throws
// std::invalid_argument otherwise.
std::vector<ProcessMessage> DecodeProcessListing(const void* data, size_t size);

// One line for people: "pid 1234 started 64bit CUI surrogate CommandLine = ...".
std::string DescribeProcessMessage(const ProcessMessage& message);

}  // namespace vextools
