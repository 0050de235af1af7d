// One row of a session's trace: a registry operation of a simulated process as Process Monitor
// shows it, with the driver's decision in the detail. Host code only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexrun {

struct TraceRow {
    std::string timeOfDay;    // local time of the simulated clock, "10:17:42.1234567 AM"
    std::string processName;  // image file name, "setup.exe"
    uint32_t processId = 0;
    std::string operation;    // "RegOpenKey", "RegCreateKey", "RegQueryValue", "RegEnumKey", "RegSetValue", ...
    std::string path;         // as Process Monitor writes it: HKLM\..., HKCU\..., HKCR\..., HKU\...
    std::string result;       // "SUCCESS", "NAME NOT FOUND", "ACCESS DENIED", ... or 0x%08X
    std::string detail;       // the operation's details, then the driver's decision
};

// The trace as Process Monitor's CSV export writes it: the header "Time of Day","Process Name",
// "PID","Operation","Path","Result","Detail", then one quoted row per operation.
std::string FormatTraceCsv(const std::vector<TraceRow>& rows);

}  // namespace vexrun

namespace vexrun {

// The trace as text for a terminal: a header line, then per operation one line with the time,
// process, PID, operation, result and path, and an indented line with the detail.
std::string FormatTraceTextHeader();
std::string FormatTraceTextRow(const TraceRow& row);
std::string FormatTraceText(const std::vector<TraceRow>& rows);

}  // namespace vexrun
