// Reads a scenario from TOML. Every problem (syntax, an unknown or misspelt key, a wrong type, a
// handle used before it is opened or after it is closed, a path without a known root) is refused
// with "file:line: message"; nothing is guessed. Host code only.
#pragma once

#include "tools/vexsim-run/scenario.h"

#include <string>
#include <string_view>

namespace vexrun {

// Reads the file; .reg and hive files it names are resolved against its folder.
[[nodiscard]] bool ReadScenarioFile(const std::string& path, Scenario* scenario, std::string* error);

// Reads text that came from `sourceName`, resolving file names against `baseDirectory`.
[[nodiscard]] bool ReadScenarioText(std::string_view text, const std::string& sourceName, const std::string& baseDirectory,
                                    Scenario* scenario, std::string* error);

}  // namespace vexrun
