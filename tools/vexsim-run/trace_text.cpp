#include "tools/vexsim-run/trace.h"

#include <cstdio>

namespace vexrun {
namespace {

constexpr int kTimeWidth = 19, kProcessWidth = 14, kIdWidth = 5, kOperationWidth = 14, kResultWidth = 16;

}  // namespace

std::string FormatTraceTextHeader()
{
    char line[160];
    std::snprintf(line, sizeof(line), "%-*s %-*s %*s %-*s %-*s %s\n", kTimeWidth, "Time of Day", kProcessWidth,
                  "Process Name", kIdWidth, "PID", kOperationWidth, "Operation", kResultWidth, "Result", "Path / Detail");
    return line;
}

std::string FormatTraceTextRow(const TraceRow& row)
{
    char head[160];
    std::snprintf(head, sizeof(head), "%-*s %-*s %*u %-*s %-*s ", kTimeWidth, row.timeOfDay.c_str(), kProcessWidth,
                  row.processName.c_str(), kIdWidth, row.processId, kOperationWidth, row.operation.c_str(), kResultWidth,
                  row.result.c_str());
    std::string text = head + row.path;
    text.erase(text.find_last_not_of(' ') + 1);
    text += "\n";
    if (!row.detail.empty()) {
        text += std::string(kTimeWidth + kProcessWidth + kIdWidth + kOperationWidth + kResultWidth + 5, ' ') + row.detail + "\n";
    }
    return text;
}

std::string FormatTraceText(const std::vector<TraceRow>& rows)
{
    std::string text = FormatTraceTextHeader();
    for (const TraceRow& row : rows) {
        text += FormatTraceTextRow(row);
    }
    return text;
}

}  // namespace vexrun
