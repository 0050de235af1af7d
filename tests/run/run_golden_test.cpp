// The shipped scenarios, run as a user runs them: each one's terminal output (trace and summary)
// and net-change file must equal its golden file under tests/run/golden, and each must pass.
//
// After a deliberate change of the output, regenerate the golden files with
//   VEX_UPDATE_GOLDEN=1 build/test/run_tests --gtest_filter='RunGolden*'
// and review the difference before committing it.
#include "tools/vexsim-run/scenario_reader.h"
#include "tools/vexsim-run/session_report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

const std::filesystem::path kSource = VEX_SOURCE_DIR;

std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Compares with the golden file, or rewrites it when asked to.
void ExpectGolden(const std::string& actual, const std::string& name)
{
    std::filesystem::path golden = kSource / "tests/run/golden" / name;
    if (std::getenv("VEX_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(golden, std::ios::binary) << actual;
        return;
    }
    EXPECT_EQ(ReadText(golden), actual) << "differs from " << golden;
}

class RunGoldenTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RunGoldenTest, ScenarioPrintsItsGoldenTraceAndPasses)
{
    std::string name = GetParam();
    vexrun::Scenario scenario;
    std::string error;
    ASSERT_TRUE(vexrun::ReadScenarioFile((kSource / "tools/vexsim-run/scenarios" / (name + ".toml")).string(), &scenario, &error))
        << error;
    std::filesystem::path netChanges = std::filesystem::temp_directory_path() / ("vexrun-" + name + "-net.reg");
    vexrun::ReportOptions options;
    options.netChangesPath = netChanges.string();
    std::ostringstream out;
    EXPECT_EQ(vexrun::kExitPassed, vexrun::RunAndReport(scenario, options, out)) << out.str();
    ExpectGolden(out.str(), name + ".txt");
    ExpectGolden(ReadText(netChanges), name + ".net.reg");
    std::filesystem::remove(netChanges);
}

INSTANTIATE_TEST_SUITE_P(Shipped, RunGoldenTest, ::testing::Values("default", "sharing", "app_hives", "url_allowlist"));

}  // namespace
