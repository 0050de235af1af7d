// The simulated kernel debugger's output: what DbgPrint wrote, as lines, for tests and tools.
// Host code only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vexsim {

// The completed lines in order, without their line ends, followed by the line still being
// assembled when it is not empty.
std::vector<std::string> DebugOutput();

// Forgets everything captured so far, including a partly assembled line.
void ClearDebugOutput();

// Where completed lines are also written as they complete; off by default (tests read the capture,
// the tools turn echo on).
enum class DebugEcho { Off, Stdout, Stderr };
void SetDebugEcho(DebugEcho echo);

// Appends UTF-8 text to the capture: each "\n" (or "\r\n") ends a line; text without one continues
// the current line, so a line may be printed in pieces.
void AppendDebugOutput(std::string_view text);

}  // namespace vexsim
