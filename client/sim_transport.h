// The transports on the simulated machine: a user process of the machine opens the control device
// as \\.\VexRegFilter, creates its log event and connects to the port, each call acting as that
// process. Host code only.
#pragma once

#include "client/transport.h"
#include "sim/core/kernel.h"

namespace vexclient {

class SimTransport : public DeviceTransport, public PortTransport {
public:
    // The process must stay alive while the transport lives.
    explicit SimTransport(PEPROCESS process) : process_(process) {}
    ~SimTransport() override;
    SimTransport(const SimTransport&) = delete;
    SimTransport& operator=(const SimTransport&) = delete;

    NtStatus Control(uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output,
                     uint32_t* returned) override;
    NtStatus CreateLogEvent(uint64_t* handle) override;
    // The simulated clock moves only when the machine's user moves it, so the wait only looks:
    // whatever would signal the event has happened by the time the caller asks.
    NtStatus WaitLogEvent(uint64_t handle, uint32_t milliseconds) override;

    NtStatus Connect(const std::u16string& portName) override;
    NtStatus ReceiveMessage(PortMessage* message) override;
    NtStatus Reply(uint64_t messageId) override;

private:
    PEPROCESS process_;
    HANDLE device_ = nullptr;
    HANDLE port_ = nullptr;
    std::vector<HANDLE> events_;
};

}  // namespace vexclient
