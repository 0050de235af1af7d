#include "tools/vexsim-run/session_report.h"

#include "sim/rtl/utf8.h"
#include "tools/vexsim-run/html_report.h"

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
    run.netChanges = !options.netChangesPath.empty() || !options.htmlPath.empty();
    run.privateCopy = !options.privateCopyPath.empty();
    RunResult result = RunScenario(scenario, run);
    bool written = true;
    if (!options.csvPath.empty()) {
        written = WriteFile(options.csvPath, FormatTraceCsv(result.trace), out) && written;
    }
    if (!options.netChangesPath.empty()) {
        std::vector<UCHAR> file;
        std::string problem;
        vexsim::RegFileOptions names{vexsim::Utf8ToUtf16(scenario.machine.users[0].sid)};
        if (NT_SUCCESS(FormatNetChangesRegFile(result.netChanges, vexsim::RegFileFormat::Regedit4, names, &file, &problem))) {
            written = WriteFile(options.netChangesPath, std::string(file.begin(), file.end()), out) && written;
        } else {
            result.failures.push_back("writing the net changes: " + problem);
        }
    }
    if (!options.privateCopyPath.empty()) {
        written = WriteFile(options.privateCopyPath, std::string(result.privateCopy.begin(), result.privateCopy.end()), out) &&
                  written;
    }
    if (!options.htmlPath.empty()) {
        ReportSummary summary{std::filesystem::path(scenario.file).filename().string(), result.failures};
        summary.failures.insert(summary.failures.end(), result.setupProblems.begin(), result.setupProblems.end());
        summary.failures.insert(summary.failures.end(), result.leftovers.begin(), result.leftovers.end());
        written = WriteFile(options.htmlPath, RenderHtmlReport(summary, result.trace, result.netChanges), out) && written;
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
