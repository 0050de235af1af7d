// The control client: one function per I/O control of the control device, with typed inputs and
// decoded answers. Inputs are checked before anything is sent (a text the driver would read cut
// short is refused, not sent), and answers are checked before they are decoded (an answer that
// does not fit its buffer or breaks its format is reported, never read past).
#pragma once

#include "client/status.h"
#include "client/transport.h"
#include "tools/logdecode/log_decoder.h"
#include "tools/processmsg/process_message_decoder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vexclient {

// What a request gave: the status the request completed with (or the client's own refusal,
// kStatusInvalidParameter with `problem` saying why) and, when it succeeded, the decoded answer.
// A successful request whose answer could not be decoded keeps its status and says so in
// `problem`.
template <typename T>
struct Result {
    NtStatus status = kStatusSuccess;
    std::string problem;
    T value{};

    bool ok() const { return Succeeded(status) && problem.empty(); }
};

struct Done {};

struct PidPair {
    uint32_t processId = 0;
    uint32_t parentProcessId = 0;
};

// A value the driver writes into the private copy (IOCTL_SANDBOX_SET_REG_VALUE).
struct RegValue {
    std::u16string keyName;    // at most 255 characters
    std::u16string valueName;  // at most 255 characters
    uint32_t type = 0;         // REG_SZ, REG_DWORD, ...
    std::vector<uint8_t> data; // at most 256 bytes
};

class ControlClient {
public:
    explicit ControlClient(DeviceTransport& device) : device_(device) {}

    // Process settings; each answers the identifier of the setting.
    Result<uint32_t> SetParentProcess(const std::u16string& imagePath);
    Result<uint32_t> SetProcess(const std::u16string& imagePath);
    Result<uint32_t> SetRootProcess(const std::u16string& imagePath);
    Result<uint32_t> AddExclusionProcess(const std::u16string& imagePath);
    Result<uint32_t> AddProcessTreeMonitor(const std::u16string& imagePath);
    Result<Done> DeleteProcess(uint32_t settingId);

    // Membership.
    Result<bool> IsUnderSandbox(uint32_t processId);
    Result<bool> IsExistUnderSandbox();
    Result<bool> ExistProcessTree(uint32_t settingId, uint32_t processId);
    Result<std::vector<uint32_t>> GetPidListUnderSandbox();
    Result<std::vector<uint32_t>> GetChildOfRootPidList();
    Result<std::vector<PidPair>> GetPidPpidList();

    // Redirection.
    Result<Done> SetRedirectKeyName(const std::u16string& keyPath);
    Result<Done> SetRedirectUserClassesKeyName(const std::u16string& keyPath);
    Result<Done> SetRedirectMachineClassesKeyName(const std::u16string& keyPath);
    Result<Done> SetRegValue(const RegValue& value);
    Result<Done> StartRegRedirect();
    Result<Done> StopRegRedirect();

    // Keys and values that stay outside the sandbox.
    Result<Done> AddExcludeKeyName(const std::u16string& keyPath);
    Result<Done> ResetExcludeKeyName();
    Result<Done> AddExcludeValueName(const std::u16string& keyPath, const std::u16string& valueName);
    Result<Done> ResetExcludeValueName();

    // The log. StartLogging takes an event of DeviceTransport::CreateLogEvent. GetLogData drains
    // as many records as one request returns (at most the whole queue); the driver answers an
    // empty queue with the warning STATUS_NO_MORE_ENTRIES, which this reports as success without
    // records.
    Result<Done> StartLogging(uint64_t eventHandle, uint32_t levelMask);
    Result<Done> StopLogging();
    Result<std::vector<vextools::LogRecord>> GetLogData();
    Result<Done> OutputCurrentParam();

    // Running console programs, and running surrogate hosts after declaring the surrogate image
    // file names (none of which may hold '*', the separator).
    Result<std::vector<vextools::ProcessMessage>> GetCuiPidList();
    Result<std::vector<vextools::ProcessMessage>> GetSurrogatePidList(const std::vector<std::u16string>& imageNames);

private:
    template <typename T>
    Result<T> Send(uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output, uint32_t* returned);
    Result<uint32_t> SetName(uint32_t code, const std::u16string& imagePath);
    Result<Done> SendText(uint32_t code, const std::u16string& text);
    Result<Done> SendNothing(uint32_t code);
    Result<bool> AskBoolean(uint32_t code, const std::vector<uint8_t>& input);
    template <typename Entry>
    Result<std::vector<Entry>> GetIdList(uint32_t code);
    Result<std::vector<vextools::ProcessMessage>> GetListing(uint32_t code, const std::vector<uint8_t>& input);

    DeviceTransport& device_;
};

}  // namespace vexclient
