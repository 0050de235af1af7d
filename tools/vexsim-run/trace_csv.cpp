#include "tools/vexsim-run/trace.h"

namespace vexrun {
namespace {

// A CSV field in double quotes, with each quote inside doubled.
void AppendQuoted(std::string& out, const std::string& field)
{
    out += '"';
    for (char c : field) {
        if (c == '"') {
            out += '"';
        }
        out += c;
    }
    out += '"';
}

}  // namespace

std::string FormatTraceCsv(const std::vector<TraceRow>& rows)
{
    std::string out = "\"Time of Day\",\"Process Name\",\"PID\",\"Operation\",\"Path\",\"Result\",\"Detail\"\r\n";
    for (const TraceRow& row : rows) {
        const std::string fields[] = {row.timeOfDay, row.processName, std::to_string(row.processId), row.operation,
                                      row.path,      row.result,      row.detail};
        for (size_t i = 0; i < std::size(fields); i++) {
            if (i != 0) {
                out += ',';
            }
            AppendQuoted(out, fields[i]);
        }
        out += "\r\n";
    }
    return out;
}

}  // namespace vexrun
