// libFuzzer target for the scenario reader: each input is the text of a scenario file, read from
// memory. Every input must end in a scenario or a "file:line: message"; a crash, a sanitizer
// report or an exception that leaves the reader is a finding.
#include "tools/vexsim-run/scenario_reader.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vexrun::Scenario scenario;
    std::string error;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!vexrun::ReadScenarioText(text, "fuzz.toml", ".", &scenario, &error) && error.rfind("fuzz.toml:", 0) != 0) {
        std::abort();  // a refusal that does not name its place
    }
    return 0;
}
