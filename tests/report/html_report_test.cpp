// The HTML report as a browser shows it: headless Chromium loads a rendered report, runs its
// script and dumps the page, which must hold the rows, the filter's choice and the change tree,
// and nothing that text from the session could have made into markup.
#include "tools/vexsim-run/html_report.h"

#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vextest {
namespace {

const std::string kInjection = "<script>document.title='owned'</script><img src=x onerror=alert(1)>";

// A directory of this run's own, so runs side by side never share the page or the profile.
std::string MakeScratchDirectory()
{
    std::string pattern = testing::TempDir() + "vex-report-XXXXXX";
    return mkdtemp(pattern.data()) == nullptr ? std::string() : pattern + "/";
}

// The page after its script ran, as Chromium dumps it.
std::string DumpDom(const std::string& scratch, const std::string& file, const std::string& fragment)
{
    std::string command = "timeout 120 chromium --headless --no-sandbox --disable-gpu --user-data-dir=" + scratch +
                          "profile --dump-dom 'file://" + file + fragment + "' 2>/dev/null";
    std::string dom;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return dom;
    }
    char buffer[4096];
    for (size_t read; (read = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
        dom.append(buffer, read);
    }
    pclose(pipe);
    return dom;
}

size_t Count(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        count++;
    }
    return count;
}

TEST(HtmlReportTest, ChromiumShowsTheRowsTheFilterPicksAndTheChangeTreeAndNoInjectedMarkup)
{
    std::vector<vexrun::TraceRow> trace = {
        {"10:00:00.0000001 AM", "setup.exe", 40, "RegCreateKey", "HKLM\\SOFTWARE\\Vendor", "SUCCESS", "redirected"},
        {"10:00:00.0000002 AM", "other.exe", 41, "RegOpenKey", "HKLM\\SOFTWARE\\" + kInjection, "NAME NOT FOUND", "passed"},
        {"10:00:00.0000003 AM", "SETUP.EXE", 42, "RegSetValue", "HKCU\\Software\\Vendor\\Theme", "SUCCESS", "copied"},
    };
    vexrun::NetChanges changes;
    changes.keys.push_back({u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", vexrun::ChangeKind::Added,
                            {{u"Version", vexrun::ChangeKind::Added, REG_DWORD, {2, 0, 0, 0}}}});
    changes.keys.push_back({u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\" + Utf16(kInjection), vexrun::ChangeKind::Deleted, {}});
    const std::string scratch = MakeScratchDirectory();
    ASSERT_FALSE(scratch.empty());
    const std::string file = scratch + "report.html";
    std::ofstream(file) << vexrun::RenderHtmlReport({"demo " + kInjection, {kInjection}}, trace, changes);

    struct Case {
        std::string fragment;
        std::vector<bool> shown;  // rows 1 to 3
        std::string count;
    };
    const Case cases[] = {
        {"", {true, true, true}, "3 of 3 rows"},
        {"#filter=Setup", {true, false, true}, "2 of 3 rows"},
        {"#filter=%3Cscript", {false, true, false}, "1 of 3 rows"},
        {"#filter=nothing%20like%20it", {false, false, false}, "0 of 3 rows"},
    };
    std::string unfiltered;
    for (const Case& c : cases) {
        SCOPED_TRACE("fragment \"" + c.fragment + "\"");
        std::string dom = DumpDom(scratch, file, c.fragment);
        if (c.fragment.empty()) {
            unfiltered = dom;
        }
        ASSERT_NE(std::string::npos, dom.find("</html>")) << "Chromium dumped no page";
        for (size_t row = 0; row < c.shown.size(); row++) {
            std::string tag = "<tr id=\"row-" + std::to_string(row + 1) + "\"";
            EXPECT_NE(std::string::npos, dom.find(tag + (c.shown[row] ? ">" : " hidden=\"\">"))) << "row " << row + 1;
        }
        EXPECT_NE(std::string::npos, dom.find(c.count));
        // The session's text stays text: one script (the page's own), no image, the title intact.
        EXPECT_EQ(1u, Count(dom, "<script"));
        EXPECT_EQ(0u, Count(dom, "<img"));
        EXPECT_NE(std::string::npos, dom.find("<title>VexRegFilter session: demo &lt;script&gt;"));
        EXPECT_EQ(5u, Count(dom, "&lt;script&gt;document.title")) << "title, heading, failure, trace row, key name";
    }
    EXPECT_NE(std::string::npos, unfiltered.find("<summary class=\"path\">HKEY_LOCAL_MACHINE</summary>"));
    EXPECT_NE(std::string::npos, unfiltered.find("<summary class=\"added\">Vendor<span class=\"kind\">added</span>"));
    EXPECT_NE(std::string::npos, unfiltered.find("<li class=\"value added\">Version = REG_DWORD 0x00000002 (2)"));
    EXPECT_NE(std::string::npos, unfiltered.find("<summary class=\"deleted\">&lt;script&gt;"));
    std::filesystem::remove_all(scratch);
}

}  // namespace
}  // namespace vextest
