// The driver's decision on one registry operation, read from the log records it queued for the
// operation: what Process Monitor's detail column of a trace shows after the call's own details.
// Host code only.
#pragma once

#include "tools/logdecode/log_decoder.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexrun {

// A registry-operation record: "REG = OPEN Ope = PRE func = BYPASS status = 0x00000000L path = ...".
struct RegistryRecord {
    std::string operation;  // "OPEN", "CREATE", "ENUM_KEY", "QUERY_KEY", "QUERY_SEC", "QUERY_VALUE"
    std::string function;   // "OPEN", "CREATE", "BYPASS", "EXCLUDED", "PASS_THRU"
    uint32_t status = 0;
    std::u16string path;
};

std::optional<RegistryRecord> ParseRegistryRecord(const vextools::LogRecord& record);

// What a trace shows of an operation by a process under the sandbox.
struct DecisionInput {
    std::vector<RegistryRecord> records;      // this operation's, in order
    std::vector<std::u16string> copyRoots;    // the redirect roots, native names
    bool handleRedirected = false;            // the operation used a handle to a key of the copy
    bool keyAppearedInCopy = false;           // open/create: the key it reached is new in the copy
    bool created = false;                     // create: the disposition says a new key was made
    bool failed = false;                      // the call failed
};

enum class Decision {
    Passed,         // the process is not under the sandbox
    Shared,         // the operation ran on the real key
    Excluded,       // the key or value does not exist inside the sandbox
    Redirected,     // the operation reached the copy
    Copied,         // ... which was filled from the real key first
    CreatedInCopy,  // ... where the key was made new
    FromRealKey,    // the driver answered from the real key
    FromCopy,       // the copy answered
    Refused,        // the driver failed the operation
};

struct DecisionText {
    Decision decision = Decision::Shared;
    std::u16string target;  // the key of the copy or the real key the decision names
};

DecisionText Decide(const DecisionInput& input);

// "redirected to HKLM\...", "shared", ...; `display` turns a native name into the trace's form.
std::string DescribeDecision(const DecisionText& decision, const std::string& displayTarget);

}  // namespace vexrun
