// The session report as one HTML file. Every text of the session (key and value names, data,
// trace fields) goes through Escape, so a name a sandboxed program chose is shown, never parsed as
// markup; the page's own script reads no session text and writes only text content. The content
// security policy forbids every load, so the page works offline and cannot reach a network.
#include "tools/vexsim-run/html_report.h"

#include "sim/cm/registry.h"
#include "sim/regfile/registry_file.h"
#include "sim/rtl/utf.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

namespace vexrun {

namespace {

// Text for HTML content or a quoted attribute. Control characters, which HTML cannot carry
// (NUL among them), are shown as U+FFFD.
std::string Escape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                out += "\xEF\xBF\xBD";
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string Escape(std::u16string_view text)
{
    return Escape(vexsim::Utf16ToUtf8(text));
}

const char* const kStyle = R"(
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #1b1b1b; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.5em; }
.failures { color: #a4000f; } .passed { color: #1a6b1a; }
#filter { width: 30em; padding: .3em; }
table { border-collapse: collapse; margin-top: .5em; width: 100%; }
th, td { border: 1px solid #ccc; padding: .2em .5em; text-align: left; vertical-align: top; }
th { background: #eee; position: sticky; top: 0; }
td { font-family: ui-monospace, monospace; font-size: 12px; white-space: pre-wrap; word-break: break-all; }
ul.tree, ul.tree ul { list-style: none; padding-left: 1.2em; }
ul.tree { padding-left: 0; font-family: ui-monospace, monospace; font-size: 13px; }
summary { cursor: pointer; }
.added { color: #1a6b1a; } .changed { color: #8a5a00; } .deleted { color: #a4000f; text-decoration: line-through; }
.kind { font-size: 11px; text-decoration: none; display: inline-block; margin-left: .5em; color: #666; }
)";

// Filters the trace by the text in the box (case ignored), and by "#filter=<text>" in the
// address, so that a link (or a test) can open the page filtered.
const char* const kScript = R"(
(function () {
  var input = document.getElementById('filter');
  var shown = document.getElementById('shown');
  var rows = Array.prototype.slice.call(document.querySelectorAll('#trace tbody tr'));
  function apply() {
    var text = input.value.toLowerCase();
    var count = 0;
    rows.forEach(function (row) {
      var match = row.textContent.toLowerCase().indexOf(text) !== -1;
      row.hidden = !match;
      if (match) { count++; }
    });
    shown.textContent = count + ' of ' + rows.length + ' rows';
  }
  var fragment = /^#filter=(.*)$/.exec(location.hash);
  if (fragment) {
    try { input.value = decodeURIComponent(fragment[1]); } catch (e) { input.value = fragment[1]; }
  }
  input.addEventListener('input', function () {
    apply();
    try { history.replaceState(null, '', '#filter=' + encodeURIComponent(input.value)); } catch (e) {}
  });
  apply();
})();
)";

const char* KindName(ChangeKind kind)
{
    switch (kind) {
    case ChangeKind::Added: return "added";
    case ChangeKind::Changed: return "changed";
    case ChangeKind::Deleted: return "deleted";
    }
    return "";
}

std::string TypeName(uint32_t type)
{
    static const char* const kNames[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                         "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST",
                                         "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
    if (type < std::size(kNames)) {
        return kNames[type];
    }
    char text[24];
    std::snprintf(text, sizeof(text), "type 0x%X", type);
    return text;
}

// The data as a person reads it: strings as text, a DWORD as a number, the rest as hex bytes
// (the first 64).
std::string DataText(uint32_t type, const std::vector<uint8_t>& data)
{
    char text[48];
    if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && data.size() % 2 == 0) {
        std::u16string units(data.size() / 2, u'\0');
        for (size_t i = 0; i < units.size(); i++) {
            units[i] = char16_t(data[2 * i] | (data[2 * i + 1] << 8));
        }
        while (!units.empty() && units.back() == u'\0') {
            units.pop_back();
        }
        std::replace(units.begin(), units.end(), u'\0', u'|');  // the strings of a REG_MULTI_SZ
        return "\"" + vexsim::Utf16ToUtf8(units) + "\"";
    }
    if (type == REG_DWORD && data.size() == 4) {
        uint32_t value = data[0] | (data[1] << 8) | (data[2] << 16) | (uint32_t(data[3]) << 24);
        std::snprintf(text, sizeof(text), "0x%08x (%u)", value, value);
        return text;
    }
    std::string hex;
    for (size_t i = 0; i < data.size() && i < 64; i++) {
        std::snprintf(text, sizeof(text), i == 0 ? "%02x" : " %02x", data[i]);
        hex += text;
    }
    return data.size() > 64 ? hex + " ... (" + std::to_string(data.size()) + " bytes)" : hex;
}

// The changed keys as a tree of their names' components.
struct TreeNode {
    std::u16string name;
    const KeyChange* change = nullptr;
    std::vector<std::unique_ptr<TreeNode>> children;  // in the order the changes list them
    std::map<std::u16string, TreeNode*> byName;       // by upper-cased name
};

void Insert(TreeNode& root, const KeyChange& change)
{
    std::u16string path = vexsim::RegFileKeyName(change.path, {});
    TreeNode* node = &root;
    for (size_t start = 0, end; start <= path.size(); start = end + 1) {
        end = std::min(path.find(u'\\', start), path.size());
        std::u16string component = path.substr(start, end - start);
        TreeNode*& child = node->byName[vexsim::UpcaseName(component)];
        if (child == nullptr) {
            node->children.push_back(std::make_unique<TreeNode>());
            child = node->children.back().get();
            child->name = component;
        }
        node = child;
    }
    node->change = &change;
}

void RenderNode(const TreeNode& node, std::string* html)
{
    const char* kind = node.change != nullptr ? KindName(node.change->kind) : "path";
    *html += "<li><details open><summary class=\"" + std::string(kind) + "\">" + Escape(node.name);
    if (node.change != nullptr) {
        *html += "<span class=\"kind\">" + std::string(kind) + "</span>";
    }
    *html += "</summary><ul>";
    if (node.change != nullptr) {
        for (const ValueChange& value : node.change->values) {
            std::string name = value.name.empty() ? "(Default)" : Escape(value.name);
            *html += "<li class=\"value " + std::string(KindName(value.kind)) + "\">" + name;
            if (value.kind != ChangeKind::Deleted) {
                *html += " = " + TypeName(value.type) + " " + Escape(DataText(value.type, value.data));
            }
            *html += "<span class=\"kind\">" + std::string(KindName(value.kind)) + "</span></li>";
        }
    }
    for (const auto& child : node.children) {
        RenderNode(*child, html);
    }
    *html += "</ul></details></li>\n";
}

}  // namespace

std::string RenderHtmlReport(const ReportSummary& summary, const std::vector<TraceRow>& trace, const NetChanges& changes)
{
    const std::string title = "VexRegFilter session: " + Escape(summary.scenarioName);
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                       "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                       "style-src 'unsafe-inline'; script-src 'unsafe-inline'\">\n<title>" +
                       title + "</title>\n<style>" + kStyle + "</style></head>\n<body>\n<h1>" + title + "</h1>\n";
    if (summary.failures.empty()) {
        html += "<p class=\"passed\">No failures: every expectation held and the driver unloaded clean.</p>\n";
    } else {
        html += "<ul class=\"failures\">\n";
        for (const std::string& failure : summary.failures) {
            html += "<li>" + Escape(failure) + "</li>\n";
        }
        html += "</ul>\n";
    }

    html += "<h2>Trace</h2>\n<input id=\"filter\" type=\"search\" placeholder=\"Filter rows by text\" "
            "aria-label=\"Filter rows\"> <span id=\"shown\"></span>\n<table id=\"trace\"><thead><tr>"
            "<th>Time of Day</th><th>Process Name</th><th>PID</th><th>Operation</th><th>Path</th><th>Result</th>"
            "<th>Detail</th></tr></thead>\n<tbody>\n";
    for (size_t i = 0; i < trace.size(); i++) {
        const TraceRow& row = trace[i];
        html += "<tr id=\"row-" + std::to_string(i + 1) + "\">";
        for (const std::string& field : {row.timeOfDay, row.processName, std::to_string(row.processId), row.operation,
                                         row.path, row.result, row.detail}) {
            html += "<td>" + Escape(field) + "</td>";
        }
        html += "</tr>\n";
    }
    html += "</tbody></table>\n<h2>Net changes</h2>\n";
    if (changes.empty()) {
        html += "<p>The sandboxed programs changed nothing.</p>\n";
    } else {
        TreeNode root;
        for (const KeyChange& change : changes.keys) {
            Insert(root, change);
        }
        html += "<ul class=\"tree\" id=\"changes\">\n";
        for (const auto& child : root.children) {
            RenderNode(*child, &html);
        }
        html += "</ul>\n";
    }
    return html + "<script>" + kScript + "</script>\n</body></html>\n";
}

}  // namespace vexrun
