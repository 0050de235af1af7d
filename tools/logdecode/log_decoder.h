// Decodes what IOCTL_GET_LOG_DATA hands user mode: 1,096-byte log record bodies, one after the
// other. Host code for the control client and the scenario runner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vextools {

struct LogRecord {
    uint32_t level = 0;
    std::string levelName;    // "Info", "Warn", "Error", "Trace", or the bits in hex
    uint32_t processId = 0;
    std::string processName;  // UTF-8
    std::string message;      // UTF-8
};

// The name of a level bit as the driver's own readers print it.
std::string LogLevelName(uint32_t level);

// Throws std::invalid_argument when size is not a whole number of record bodies.
std::vector<LogRecord> DecodeLogRecords(const void* data, size_t size);

}  // namespace vextools
