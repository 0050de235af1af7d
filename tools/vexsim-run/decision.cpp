#include "tools/vexsim-run/decision.h"

#include "sim/rtl/utf8.h"
#include "tools/vexsim-run/copy_keys.h"

#include <cstdlib>

namespace vexrun {
namespace {

constexpr uint32_t kStatusObjectNameNotFound = 0xC0000034u;

// The text between `label` and the next " " (or the end), or nullopt when label is missing.
std::optional<std::string> Field(const std::string& message, const std::string& label, bool toEnd = false)
{
    size_t start = message.find(label);
    if (start == std::string::npos) {
        return std::nullopt;
    }
    start += label.size();
    size_t end = toEnd ? std::string::npos : message.find(' ', start);
    return message.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool UnderAny(const std::u16string& path, const std::vector<std::u16string>& roots)
{
    std::u16string upper = UpperName(path);
    for (const std::u16string& root : roots) {
        std::u16string upperRoot = UpperName(root);
        if (upper.compare(0, upperRoot.size(), upperRoot) == 0 &&
            (upper.size() == upperRoot.size() || upper[upperRoot.size()] == u'\\')) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<RegistryRecord> ParseRegistryRecord(const vextools::LogRecord& record)
{
    const std::string& message = record.message;
    if (message.rfind("REG = ", 0) != 0) {
        return std::nullopt;
    }
    std::optional<std::string> operation = Field(message, "REG = ");
    std::optional<std::string> function = Field(message, "func = ");
    std::optional<std::string> status = Field(message, "status = 0x");
    std::optional<std::string> path = Field(message, " path = ", true);
    if (!operation || !function || !status || !path) {
        return std::nullopt;
    }
    RegistryRecord parsed;
    parsed.operation = *operation;
    parsed.function = *function;
    parsed.status = static_cast<uint32_t>(std::strtoul(status->c_str(), nullptr, 16));
    parsed.path = vexsim::Utf8ToUtf16(*path);
    return parsed;
}

DecisionText Decide(const DecisionInput& input)
{
    if (input.records.empty()) {
        return DecisionText{input.handleRedirected ? Decision::Redirected : Decision::Shared, {}};
    }
    const RegistryRecord& last = input.records.back();
    if (last.function == "EXCLUDED") {
        return DecisionText{last.status == kStatusObjectNameNotFound ? Decision::Excluded : Decision::Shared, last.path};
    }
    if (last.function == "PASS_THRU") {
        return DecisionText{Decision::FromCopy, last.path};
    }
    if (last.function == "BYPASS") {
        if (last.status != 0) {
            return DecisionText{Decision::Refused, last.path};
        }
        if (!UnderAny(last.path, input.copyRoots)) {
            return DecisionText{Decision::FromRealKey, last.path};
        }
        if (input.keyAppearedInCopy) {
            return DecisionText{input.created ? Decision::CreatedInCopy : Decision::Copied, last.path};
        }
        return DecisionText{Decision::Redirected, last.path};
    }
    // Only the opening record: a failure it names is the driver's refusal; a call that failed all
    // the same was answered from the copy (a key deleted there); success means the driver let the
    // operation run on the key the caller named.
    if (last.status != 0) {
        return DecisionText{Decision::Refused, last.path};
    }
    return DecisionText{input.failed ? Decision::FromCopy : Decision::Shared, last.path};
}

std::string DescribeDecision(const DecisionText& decision, const std::string& displayTarget)
{
    switch (decision.decision) {
    case Decision::Passed:
        return "passed (not under the sandbox)";
    case Decision::Shared:
        return "shared with the real registry";
    case Decision::Excluded:
        return "excluded (does not exist inside the sandbox)";
    case Decision::Redirected:
        return displayTarget.empty() ? "on the copy" : "redirected to " + displayTarget;
    case Decision::Copied:
        return "copied from the real key to " + displayTarget;
    case Decision::CreatedInCopy:
        return "created in the copy at " + displayTarget;
    case Decision::FromRealKey:
        return "answered from the real key " + displayTarget;
    case Decision::FromCopy:
        return "answered from the copy";
    case Decision::Refused:
        return "refused by the driver";
    }
    return {};
}

}  // namespace vexrun
