#include "tools/vexsim-run/session_report.h"

#include <filesystem>
#include <fstream>

namespace vexrun {
namespace {

bool WriteFile(const std::string& path, const std::string& content, std::ostream& out)
{
    std::ofstream file(path, std::ios::binary);
    file << content;
    if (!file.good()) {
        out << "error: " << path << " cannot be written\n";
        return false;
    }
    return true;
}

}  // namespace

std::string SummaryLine(const Scenario& scenario, const RunResult& result)
{
    size_t operations = 0;
    for (const TraceRow& row : result.trace) {
        operations += row.operation != "Process Start" ? 1 : 0;
    }
    size_t failures = result.failures.size() + result.setupProblems.size();
    std::string unload = result.unloadRefused ? "unload refused" : result.leftovers.empty() ? "unload check clean"
                                                                    : std::to_string(result.leftovers.size()) + " leftovers at unload";
    return std::filesystem::path(scenario.file).filename().string() + ": " + std::to_string(operations) +
           " operations, " + std::to_string(failures) + (failures == 1 ? " failure, " : " failures, ") + unload + ": " +
           (result.passed() ? "PASSED" : "FAILED");
}

int RunAndReport(const Scenario& scenario, const ReportOptions& options, std::ostream& out)
{
    RunOptions run;
    if (options.trace) {
        out << FormatTraceTextHeader();
        run.onTraceRow = [&out](const TraceRow& row) { out << FormatTraceTextRow(row) << std::flush; };
    }
    RunResult result = RunScenario(scenario, run);
    bool written = true;
    if (!options.csvPath.empty()) {
        written = WriteFile(options.csvPath, FormatTraceCsv(result.trace), out) && written;
    }
    if (options.log) {
        out << "\nLog records:\n";
        for (const vextools::LogRecord& record : result.log) {
            out << "  [" << record.levelName << "] " << record.processName << " (" << record.processId << "): " << record.message
                << "\n";
        }
    }
    if (options.port) {
        out << "\nPort messages:\n";
        for (const std::string& message : result.portMessages) {
            out << "  " << message << "\n";
        }
    }
    if (options.debugger) {
        out << "\nDebugger output:\n";
        for (const std::string& line : result.debugger) {
            out << "  " << line << "\n";
        }
    }
    if (!result.setupProblems.empty() || !result.failures.empty() || !result.leftovers.empty()) {
        out << "\n";
    }
    for (const std::string& problem : result.setupProblems) {
        out << "error: " << problem << "\n";
    }
    for (const std::string& failure : result.failures) {
        out << "failed: " << failure << "\n";
    }
    for (const std::string& leftover : result.leftovers) {
        out << "leftover at unload: " << leftover << "\n";
    }
    out << "\n" << SummaryLine(scenario, result) << "\n";
    if (!result.setupProblems.empty()) {
        return kExitBadScenario;
    }
    return result.passed() && written ? kExitPassed : kExitFailed;
}

}  // namespace vexrun
