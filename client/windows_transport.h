// The transports on Windows: the control device through the native I/O-control call (so that the
// driver's NTSTATUS reaches the caller unchanged), the log event as a Win32 event, and the port
// through the filter-manager user library.
#pragma once

#include "client/transport.h"

#include <windows.h>

namespace vexclient {

class WindowsTransport : public DeviceTransport, public PortTransport {
public:
    WindowsTransport() = default;
    ~WindowsTransport() override;
    WindowsTransport(const WindowsTransport&) = delete;
    WindowsTransport& operator=(const WindowsTransport&) = delete;

    NtStatus Control(uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output,
                     uint32_t* returned) override;
    NtStatus CreateLogEvent(uint64_t* handle) override;
    NtStatus WaitLogEvent(uint64_t handle, uint32_t milliseconds) override;

    // The filter-manager library answers HRESULTs: one that carries an NTSTATUS (the NT facility
    // bit) is reported as that NTSTATUS, any other as the HRESULT itself, a negative value too.
    NtStatus Connect(const std::u16string& portName) override;
    NtStatus ReceiveMessage(PortMessage* message) override;
    NtStatus Reply(uint64_t messageId) override;

private:
    HANDLE device_ = nullptr;
    HANDLE port_ = nullptr;
    std::vector<HANDLE> events_;
};

}  // namespace vexclient
