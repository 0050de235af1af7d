#include "client/control_client.h"

#include "driver/control_codes.h"
#include "log/log_format.h"
#include "notify/process_message_format.h"

#include <stdexcept>
#include <type_traits>

namespace vexclient {

namespace {

using Bytes = std::vector<uint8_t>;

// Answers are read from a buffer filled with this byte first, so a field the driver left
// unwritten reads as all ones, never as a plausible zero.
constexpr uint8_t kUnwritten = 0xFF;

// The largest lists and listings the client sizes a buffer for: far beyond any real machine,
// and a limit on what a count read from an answer can make it allocate.
constexpr uint32_t kMaxListEntries = 1u << 20;
constexpr uint32_t kMaxListingBytes = 64u << 20;

// Lists may grow between a request that learns their size and the next one.
constexpr uint32_t kListSlackEntries = 16;
constexpr uint32_t kListingSlackBytes = 4096;
constexpr int kSizingAttempts = 4;

constexpr uint32_t kFirstListEntries = 64;
constexpr uint32_t kFirstListingBytes = 64 * 1024;

// Names of SetRegValue: at most 255 characters and their NUL in 512 bytes.
constexpr size_t kRegValueNameChars = SET_REG_VALUE_NAME_BYTES / 2 - 1;

void PutU32(Bytes& bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; i++) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void PutU64(Bytes& bytes, size_t offset, uint64_t value)
{
    PutU32(bytes, offset, static_cast<uint32_t>(value));
    PutU32(bytes, offset + 4, static_cast<uint32_t>(value >> 32));
}

uint32_t GetU32(const Bytes& bytes, size_t offset)
{
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

// UTF-16LE units with a terminating NUL, at `offset`.
void PutText(Bytes& bytes, size_t offset, const std::u16string& text)
{
    for (size_t i = 0; i <= text.size(); i++) {
        char16_t unit = i < text.size() ? text[i] : u'\0';
        bytes[offset + 2 * i] = static_cast<uint8_t>(unit);
        bytes[offset + 2 * i + 1] = static_cast<uint8_t>(unit >> 8);
    }
}

Bytes TextBytes(const std::u16string& text)
{
    Bytes bytes((text.size() + 1) * 2);
    PutText(bytes, 0, text);
    return bytes;
}

Bytes U32Bytes(uint32_t value)
{
    Bytes bytes(CONTROL_ULONG_REQUEST_SIZE);
    PutU32(bytes, 0, value);
    return bytes;
}

template <typename T>
Result<T> Refused(std::string problem)
{
    Result<T> result;
    result.status = kStatusInvalidParameter;
    result.problem = std::move(problem);
    return result;
}

// The driver reads text up to its first NUL: a text holding one would arrive cut short.
std::string CheckText(const char* what, const std::u16string& text)
{
    size_t nul = text.find(u'\0');
    if (nul != std::u16string::npos) {
        return std::string(what) + " holds a NUL character at " + std::to_string(nul) + " and would arrive cut short";
    }
    return {};
}

}  // namespace

template <typename T>
Result<T> ControlClient::Send(uint32_t code, const Bytes& input, Bytes& output, uint32_t* returned)
{
    Result<T> result;
    uint32_t information = 0;
    result.status = device_.Control(code, input, output, &information);
    if (returned != nullptr) {
        *returned = information;
    }
    return result;
}

Result<Done> ControlClient::SendNothing(uint32_t code)
{
    Bytes output;
    return Send<Done>(code, {}, output, nullptr);
}

Result<Done> ControlClient::SendText(uint32_t code, const std::u16string& text)
{
    if (std::string problem = CheckText("the text", text); !problem.empty()) {
        return Refused<Done>(problem);
    }
    Bytes output;
    return Send<Done>(code, TextBytes(text), output, nullptr);
}

Result<uint32_t> ControlClient::SetName(uint32_t code, const std::u16string& imagePath)
{
    if (std::string problem = CheckText("the image path", imagePath); !problem.empty()) {
        return Refused<uint32_t>(problem);
    }
    Bytes output(CONTROL_ULONG_ANSWER_SIZE, kUnwritten);
    Result<uint32_t> result = Send<uint32_t>(code, TextBytes(imagePath), output, nullptr);
    if (Succeeded(result.status)) {
        result.value = GetU32(output, 0);
    }
    return result;
}

Result<bool> ControlClient::AskBoolean(uint32_t code, const Bytes& input)
{
    Bytes output(CONTROL_ULONG_ANSWER_SIZE, kUnwritten);
    Result<bool> result = Send<bool>(code, input, output, nullptr);
    if (!Succeeded(result.status)) {
        return result;
    }
    uint32_t answer = GetU32(output, 0);
    if (answer > 1) {
        result.problem = "a boolean answer of " + std::to_string(answer) + " is neither 0 nor 1";
    }
    result.value = answer == 1;
    return result;
}

template <typename Entry>
Result<std::vector<Entry>> ControlClient::GetIdList(uint32_t code)
{
    constexpr bool kIdsAlone = std::is_same_v<Entry, uint32_t>;
    constexpr size_t kEntrySize = kIdsAlone ? PID_LIST_ENTRY_SIZE : PID_PPID_LIST_ENTRY_SIZE;
    uint32_t capacity = kFirstListEntries;
    Result<std::vector<Entry>> result;
    for (int attempt = 0; attempt < kSizingAttempts; attempt++) {
        Bytes output(PID_LIST_COUNT_SIZE + capacity * kEntrySize, kUnwritten);
        result = Send<std::vector<Entry>>(code, {}, output, nullptr);
        uint32_t count = GetU32(output, 0);
        if (result.status == kStatusBufferTooSmall) {
            if (count <= capacity || count > kMaxListEntries) {
                result.problem = "a list too long for " + std::to_string(capacity) + " entries says it holds " +
                                 std::to_string(count);
                return result;
            }
            capacity = count + kListSlackEntries;
            continue;
        }
        if (!Succeeded(result.status)) {
            return result;
        }
        if (count > capacity) {
            result.problem = "a list of " + std::to_string(count) + " entries arrived in a buffer for " +
                             std::to_string(capacity);
            return result;
        }
        for (uint32_t i = 0; i < count; i++) {
            size_t at = PID_LIST_COUNT_SIZE + i * kEntrySize;
            if constexpr (kIdsAlone) {
                result.value.push_back(GetU32(output, at));
            } else {
                result.value.push_back(PidPair{GetU32(output, at), GetU32(output, at + 4)});
            }
        }
        return result;
    }
    result.problem = "the list kept growing past each buffer sized for it";
    return result;
}

Result<std::vector<vextools::ProcessMessage>> ControlClient::GetListing(uint32_t code, const Bytes& input)
{
    uint32_t capacity = kFirstListingBytes;
    Result<std::vector<vextools::ProcessMessage>> result;
    for (int attempt = 0; attempt < kSizingAttempts; attempt++) {
        Bytes output(capacity, kUnwritten);
        result = Send<std::vector<vextools::ProcessMessage>>(code, input, output, nullptr);
        uint32_t total = GetU32(output, 0);
        if (result.status == kStatusBufferTooSmall) {
            if (total <= capacity || total > kMaxListingBytes) {
                result.problem = "a listing too long for " + std::to_string(capacity) + " bytes says it has " +
                                 std::to_string(total);
                return result;
            }
            capacity = total + kListingSlackBytes;
            continue;
        }
        if (!Succeeded(result.status)) {
            return result;
        }
        if (total > capacity) {
            result.problem = "a listing of " + std::to_string(total) + " bytes arrived in a buffer of " +
                             std::to_string(capacity);
            return result;
        }
        try {
            result.value = vextools::DecodeProcessListing(output.data(), total);
        } catch (const std::invalid_argument& error) {
            result.problem = error.what();
        }
        return result;
    }
    result.problem = "the listing kept growing past each buffer sized for it";
    return result;
}

Result<uint32_t> ControlClient::SetParentProcess(const std::u16string& imagePath)
{
    return SetName(IOCTL_SANDBOX_SET_PARENT_PROCESS, imagePath);
}

Result<uint32_t> ControlClient::SetProcess(const std::u16string& imagePath)
{
    return SetName(IOCTL_SANDBOX_SET_PROCESS, imagePath);
}

Result<uint32_t> ControlClient::SetRootProcess(const std::u16string& imagePath)
{
    return SetName(IOCTL_SANDBOX_SET_ROOT_PROCESS, imagePath);
}

Result<uint32_t> ControlClient::AddExclusionProcess(const std::u16string& imagePath)
{
    return SetName(IOCTL_ADD_EXC_PROCESS, imagePath);
}

Result<uint32_t> ControlClient::AddProcessTreeMonitor(const std::u16string& imagePath)
{
    return SetName(IOCTL_ADD_PROCESS_TREE_MONITOR, imagePath);
}

Result<Done> ControlClient::DeleteProcess(uint32_t settingId)
{
    Bytes output;
    return Send<Done>(IOCTL_SANDBOX_DEL_PROCESS, U32Bytes(settingId), output, nullptr);
}

Result<bool> ControlClient::IsUnderSandbox(uint32_t processId)
{
    return AskBoolean(IOCTL_SANDBOX_IS_UNDER_SANDBOX, U32Bytes(processId));
}

Result<bool> ControlClient::IsExistUnderSandbox()
{
    return AskBoolean(IOCTL_SANDBOX_IS_EXIST_UNDER_SANDBOX, {});
}

Result<bool> ControlClient::ExistProcessTree(uint32_t settingId, uint32_t processId)
{
    Bytes input(EXIST_PROCESS_TREE_REQUEST_SIZE);
    PutU32(input, EXIST_PROCESS_TREE_ID_OFFSET, settingId);
    PutU32(input, EXIST_PROCESS_TREE_PROCESS_ID_OFFSET, processId);
    return AskBoolean(IOCTL_EXIST_PROCESS_TREE, input);
}

Result<std::vector<uint32_t>> ControlClient::GetPidListUnderSandbox()
{
    return GetIdList<uint32_t>(IOCTL_SANDBOX_GET_PID_LIST_UNDER_SANDBOX);
}

Result<std::vector<uint32_t>> ControlClient::GetChildOfRootPidList()
{
    return GetIdList<uint32_t>(IOCTL_SANDBOX_GET_CHILD_OF_ROOT_PID_LIST);
}

Result<std::vector<PidPair>> ControlClient::GetPidPpidList()
{
    return GetIdList<PidPair>(IOCTL_GET_PID_PPID_LIST);
}

Result<Done> ControlClient::SetRedirectKeyName(const std::u16string& keyPath)
{
    return SendText(IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME, keyPath);
}

Result<Done> ControlClient::SetRedirectUserClassesKeyName(const std::u16string& keyPath)
{
    return SendText(IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME, keyPath);
}

Result<Done> ControlClient::SetRedirectMachineClassesKeyName(const std::u16string& keyPath)
{
    return SendText(IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME, keyPath);
}

Result<Done> ControlClient::SetRegValue(const RegValue& value)
{
    for (const auto& [what, name] : {std::pair{"the key name", &value.keyName}, std::pair{"the value name", &value.valueName}}) {
        if (std::string problem = CheckText(what, *name); !problem.empty()) {
            return Refused<Done>(problem);
        }
        if (name->size() > kRegValueNameChars) {
            return Refused<Done>(std::string(what) + " has " + std::to_string(name->size()) + " characters, more than " +
                                 std::to_string(kRegValueNameChars));
        }
    }
    if (value.data.size() > SET_REG_VALUE_DATA_BYTES) {
        return Refused<Done>("the data has " + std::to_string(value.data.size()) + " bytes, more than " +
                             std::to_string(SET_REG_VALUE_DATA_BYTES));
    }
    Bytes input(SET_REG_VALUE_REQUEST_SIZE);
    PutText(input, SET_REG_VALUE_KEY_NAME_OFFSET, value.keyName);
    PutText(input, SET_REG_VALUE_VALUE_NAME_OFFSET, value.valueName);
    PutU32(input, SET_REG_VALUE_TYPE_OFFSET, value.type);
    std::copy(value.data.begin(), value.data.end(), input.begin() + SET_REG_VALUE_DATA_OFFSET);
    PutU32(input, SET_REG_VALUE_DATA_SIZE_OFFSET, static_cast<uint32_t>(value.data.size()));
    Bytes output;
    return Send<Done>(IOCTL_SANDBOX_SET_REG_VALUE, input, output, nullptr);
}

Result<Done> ControlClient::StartRegRedirect() { return SendNothing(IOCTL_SANDBOX_START_REG_REDIRECT); }

Result<Done> ControlClient::StopRegRedirect() { return SendNothing(IOCTL_SANDBOX_STOP_REG_REDIRECT); }

Result<Done> ControlClient::AddExcludeKeyName(const std::u16string& keyPath)
{
    return SendText(IOCTL_SANDBOX_ADD_EXCLUDE_KEY_NAME, keyPath);
}

Result<Done> ControlClient::ResetExcludeKeyName() { return SendNothing(IOCTL_SANDBOX_RESET_EXCLUDE_KEY_NAME); }

Result<Done> ControlClient::AddExcludeValueName(const std::u16string& keyPath, const std::u16string& valueName)
{
    return SendText(IOCTL_SANDBOX_ADD_EXCLUDE_VALUE_NAME,
                    keyPath + static_cast<char16_t>(EXCLUDE_VALUE_NAME_SEPARATOR) + valueName);
}

Result<Done> ControlClient::ResetExcludeValueName() { return SendNothing(IOCTL_SANDBOX_RESET_EXCLUDE_VALUE_NAME); }

Result<Done> ControlClient::StartLogging(uint64_t eventHandle, uint32_t levelMask)
{
    Bytes input(START_LOGGING_REQUEST_SIZE);
    PutU64(input, START_LOGGING_EVENT_OFFSET, eventHandle);
    PutU32(input, START_LOGGING_LEVELS_OFFSET, levelMask);
    Bytes output;
    return Send<Done>(IOCTL_START_LOGGING, input, output, nullptr);
}

Result<Done> ControlClient::StopLogging() { return SendNothing(IOCTL_STOP_LOGGING); }

Result<std::vector<vextools::LogRecord>> ControlClient::GetLogData()
{
    Bytes output(static_cast<size_t>(LOG_QUEUE_LIMIT) * LOG_RECORD_BODY_SIZE);
    uint32_t returned = 0;
    auto result = Send<std::vector<vextools::LogRecord>>(IOCTL_GET_LOG_DATA, {}, output, &returned);
    if (result.status == kStatusNoMoreEntries) {
        result.status = kStatusSuccess;
        return result;
    }
    if (!Succeeded(result.status)) {
        return result;
    }
    if (returned > output.size()) {
        result.problem = std::to_string(returned) + " bytes of log data reported for a buffer of " + std::to_string(output.size());
        return result;
    }
    try {
        result.value = vextools::DecodeLogRecords(output.data(), returned);
    } catch (const std::invalid_argument& error) {
        result.problem = error.what();
    }
    return result;
}

Result<Done> ControlClient::OutputCurrentParam() { return SendNothing(IOCTL_OUTPUT_CURRENT_PARAM); }

Result<std::vector<vextools::ProcessMessage>> ControlClient::GetCuiPidList()
{
    return GetListing(IOCTL_GET_CUI_PID_LIST, {});
}

Result<std::vector<vextools::ProcessMessage>> ControlClient::GetSurrogatePidList(const std::vector<std::u16string>& imageNames)
{
    const auto separator = static_cast<char16_t>(SURROGATE_NAME_SEPARATOR);
    std::u16string joined;
    for (size_t i = 0; i < imageNames.size(); i++) {
        const std::u16string& name = imageNames[i];
        if (name.find(separator) != std::u16string::npos) {
            return Refused<std::vector<vextools::ProcessMessage>>("a surrogate image name holds the separator '*'");
        }
        if (std::string problem = CheckText("a surrogate image name", name); !problem.empty()) {
            return Refused<std::vector<vextools::ProcessMessage>>(problem);
        }
        if (i != 0) {
            joined += separator;
        }
        joined += name;
    }
    return GetListing(IOCTL_GET_SURROGATE_PID_LIST, TextBytes(joined));
}

}  // namespace vexclient
