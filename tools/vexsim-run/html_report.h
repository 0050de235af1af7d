// The session report: one self-contained HTML file (no network, no external script or style)
// with the trace as a filterable table and the net changes as a tree. Host code only.
//
// The filter keeps the rows whose text holds the filter's text, case ignored; an address ending in
// #filter=<text> (URL-encoded) opens the page filtered, and typing in the box updates it. Trace
// rows carry the ids row-1, row-2, ... in trace order.
#pragma once

#include "tools/vexsim-run/net_changes.h"
#include "tools/vexsim-run/trace.h"

#include <string>
#include <vector>

namespace vexrun {

struct ReportSummary {
    std::string scenarioName;
    std::vector<std::string> failures;  // expectation failures, a machine stop, unload leftovers
};

std::string RenderHtmlReport(const ReportSummary& summary, const std::vector<TraceRow>& trace,
                             const NetChanges& changes);

}  // namespace vexrun
