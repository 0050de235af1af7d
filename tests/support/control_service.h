// The product's service as the driver sees it: a user-mode process that opens the control device
// and sends I/O-control requests through the simulated I/O manager. Host code only.
#pragma once

#include "driver/control_codes.h"
#include "sim/io/io.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"

#include <cstring>
#include <string>
#include <vector>

namespace vextest {

// A request's outcome: its status, the bytes the I/O manager reported and the output buffer.
struct ControlReply {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG returned = 0;
    std::vector<unsigned char> output;
};

// The bytes of a text input: the characters and a NUL, as the service sends a path.
inline std::vector<unsigned char> TextInput(const std::u16string& text)
{
    std::vector<unsigned char> bytes((text.size() + 1) * sizeof(char16_t));
    std::memcpy(bytes.data(), text.c_str(), bytes.size());
    return bytes;
}

class ControlService {
public:
    explicit ControlService(const std::u16string& image = u"\\Device\\HarddiskVolume3\\Program Files\\Tessaline\\service.exe")
        : process_(vexsim::CreateUserProcess(vexsim::ProcessParams{image}))
    {
    }
    ~ControlService() { vexsim::EndProcess(process_); }
    ControlService(const ControlService&) = delete;
    ControlService& operator=(const ControlService&) = delete;

    PEPROCESS process() const { return process_; }

    // Opens the device, sends one request with outputLength bytes of output (filled with 0xEE so
    // untouched bytes show) and closes the device.
    ControlReply Send(ULONG code, const std::vector<unsigned char>& input, ULONG outputLength = 0) const
    {
        ControlReply reply;
        reply.output.assign(outputLength, 0xEE);
        vexsim::UserModeScope user(process_);
        HANDLE device = nullptr;
        reply.status = vexsim::UserOpenFile(u"\\\\.\\VexRegFilter", GENERIC_READ | GENERIC_WRITE, &device);
        if (!NT_SUCCESS(reply.status)) {
            return reply;
        }
        reply.status = vexsim::UserDeviceIoControl(device, code, input.empty() ? nullptr : input.data(), (ULONG)input.size(),
                                                   reply.output.empty() ? nullptr : reply.output.data(), outputLength,
                                                   &reply.returned);
        (void)vexsim::UserCloseHandle(device);
        return reply;
    }

    NTSTATUS SendText(ULONG code, const std::u16string& text) const { return Send(code, TextInput(text)).status; }

private:
    PEPROCESS process_;
};

}  // namespace vextest
