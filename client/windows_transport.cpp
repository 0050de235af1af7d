#include "client/windows_transport.h"

#include "driver/control_codes.h"
#include "notify/process_message_format.h"

#include <fltuser.h>
#include <winternl.h>

#include <algorithm>
#include <vector>

namespace vexclient {

namespace {

// \\.\VexRegFilter as the native call names it.
constexpr wchar_t kDeviceNtPath[] = L"\\??\\VexRegFilter";

// The largest message the driver sends: its header and a command line of at most 32,767
// characters.
constexpr DWORD kMessageBufferSize = sizeof(FILTER_MESSAGE_HEADER) + PROCESS_MESSAGE_HEADER_SIZE + 65534;

constexpr HRESULT kFacilityNtBit = 0x10000000;

NtStatus FromHresult(HRESULT result)
{
    if (SUCCEEDED(result)) {
        return kStatusSuccess;
    }
    return (result & kFacilityNtBit) ? static_cast<NtStatus>(result & ~kFacilityNtBit) : static_cast<NtStatus>(result);
}

}  // namespace

WindowsTransport::~WindowsTransport()
{
    for (HANDLE event : events_) {
        CloseHandle(event);
    }
    if (port_ != nullptr) {
        CloseHandle(port_);
    }
    if (device_ != nullptr) {
        CloseHandle(device_);
    }
}

NtStatus WindowsTransport::Control(uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output,
                                   uint32_t* returned)
{
    *returned = 0;
    IO_STATUS_BLOCK io = {};
    if (device_ == nullptr) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, kDeviceNtPath);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        NTSTATUS status = NtOpenFile(&device_, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_SYNCHRONOUS_IO_NONALERT);
        if (status < 0) {
            device_ = nullptr;
            return status;
        }
    }
    // A synchronous handle: the call returns once the request has completed.
    NTSTATUS status = NtDeviceIoControlFile(device_, nullptr, nullptr, nullptr, &io, code,
                                            input.empty() ? nullptr : const_cast<uint8_t*>(input.data()),
                                            static_cast<ULONG>(input.size()), output.empty() ? nullptr : output.data(),
                                            static_cast<ULONG>(output.size()));
    if (status >= 0) {
        *returned = static_cast<uint32_t>(std::min<ULONG_PTR>(io.Information, output.size()));
    }
    return status;
}

NtStatus WindowsTransport::CreateLogEvent(uint64_t* handle)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    *handle = reinterpret_cast<uintptr_t>(event);
    if (event == nullptr) {
        return FromHresult(HRESULT_FROM_WIN32(GetLastError()));
    }
    events_.push_back(event);
    return kStatusSuccess;
}

NtStatus WindowsTransport::WaitLogEvent(uint64_t handle, uint32_t milliseconds)
{
    switch (WaitForSingleObject(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)), milliseconds)) {
    case WAIT_OBJECT_0:
        return kStatusSuccess;
    case WAIT_TIMEOUT:
        return kStatusTimeout;
    default:
        return FromHresult(HRESULT_FROM_WIN32(GetLastError()));
    }
}

NtStatus WindowsTransport::Connect(const std::u16string& portName)
{
    if (port_ != nullptr) {
        CloseHandle(port_);
        port_ = nullptr;
    }
    std::vector<WCHAR> name(portName.begin(), portName.end());
    name.push_back(L'\0');
    HRESULT result = FilterConnectCommunicationPort(name.data(), 0, nullptr, 0, nullptr, &port_);
    if (FAILED(result)) {
        port_ = nullptr;
    }
    return FromHresult(result);
}

// FilterGetMessage does not say how many bytes arrived: the message's extent is read from its own
// command-line length, as far as the buffer holds it; the decoder judges the rest.
NtStatus WindowsTransport::ReceiveMessage(PortMessage* message)
{
    std::vector<uint8_t> buffer(kMessageBufferSize);
    auto* header = reinterpret_cast<FILTER_MESSAGE_HEADER*>(buffer.data());
    HRESULT result = FilterGetMessage(port_, header, kMessageBufferSize, nullptr);
    if (FAILED(result)) {
        return FromHresult(result);
    }
    message->messageId = header->MessageId;
    message->replyLength = header->ReplyLength;
    auto body = buffer.begin() + sizeof(FILTER_MESSAGE_HEADER);
    size_t available = buffer.end() - body;
    size_t length = available;
    if (available >= PROCESS_MESSAGE_HEADER_SIZE) {
        const uint8_t* field = &body[PROCESS_MESSAGE_COMMAND_LINE_LENGTH_OFFSET];
        uint32_t commandLineLength = field[0] | field[1] << 8 | field[2] << 16 | static_cast<uint32_t>(field[3]) << 24;
        length = std::min<size_t>(available, PROCESS_MESSAGE_HEADER_SIZE + static_cast<size_t>(commandLineLength));
    }
    message->body.assign(body, body + length);
    return kStatusSuccess;
}

NtStatus WindowsTransport::Reply(uint64_t messageId)
{
    FILTER_REPLY_HEADER reply = {};
    reply.Status = 0;
    reply.MessageId = messageId;
    return FromHresult(FilterReplyMessage(port_, &reply, sizeof(reply)));
}

}  // namespace vexclient
