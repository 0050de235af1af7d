#include "client/sim_transport.h"

#include "driver/control_codes.h"
#include "sim/flt/port.h"
#include "sim/io/io.h"
#include "sim/ob/user_events.h"
#include "sim/ps/user_mode_scope.h"

namespace vexclient {

SimTransport::~SimTransport()
{
    vexsim::UserModeScope user(process_);
    for (HANDLE handle : events_) {
        (void)vexsim::UserCloseHandle(handle);
    }
    if (port_ != nullptr) {
        (void)vexsim::UserCloseHandle(port_);
    }
    if (device_ != nullptr) {
        (void)vexsim::UserCloseHandle(device_);
    }
}

NtStatus SimTransport::Control(uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output,
                               uint32_t* returned)
{
    vexsim::UserModeScope user(process_);
    *returned = 0;
    if (device_ == nullptr) {
        NTSTATUS status = vexsim::UserOpenFile(reinterpret_cast<const char16_t*>(VEX_CONTROL_USER_PATH),
                                               GENERIC_READ | GENERIC_WRITE, &device_);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    ULONG information = 0;
    NTSTATUS status = vexsim::UserDeviceIoControl(device_, code, input.empty() ? nullptr : input.data(),
                                                  static_cast<ULONG>(input.size()), output.empty() ? nullptr : output.data(),
                                                  static_cast<ULONG>(output.size()), &information);
    *returned = information;
    return status;
}

NtStatus SimTransport::CreateLogEvent(uint64_t* handle)
{
    vexsim::UserModeScope user(process_);
    HANDLE event = nullptr;
    NTSTATUS status = vexsim::UserCreateEvent(SynchronizationEvent, FALSE, &event);
    if (NT_SUCCESS(status)) {
        events_.push_back(event);
    }
    *handle = reinterpret_cast<uint64_t>(event);
    return status;
}

NtStatus SimTransport::WaitLogEvent(uint64_t handle, uint32_t milliseconds)
{
    (void)milliseconds;
    vexsim::UserModeScope user(process_);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    return vexsim::UserWaitForSingleObject(reinterpret_cast<HANDLE>(handle), &poll);
}

NtStatus SimTransport::Connect(const std::u16string& portName)
{
    vexsim::UserModeScope user(process_);
    if (port_ != nullptr) {
        (void)vexsim::UserCloseHandle(port_);
        port_ = nullptr;
    }
    return vexsim::UserConnectCommunicationPort(portName, nullptr, 0, &port_);
}

NtStatus SimTransport::ReceiveMessage(PortMessage* message)
{
    vexsim::UserModeScope user(process_);
    vexsim::PortMessage received;
    NTSTATUS status = vexsim::UserGetMessage(port_, &received);
    if (NT_SUCCESS(status)) {
        message->messageId = received.messageId;
        message->replyLength = received.replyLength;
        message->body = std::move(received.body);
    }
    return status;
}

NtStatus SimTransport::Reply(uint64_t messageId)
{
    vexsim::UserModeScope user(process_);
    return vexsim::UserReplyMessage(port_, messageId, nullptr, 0);
}

}  // namespace vexclient
