// What the control client needs of the system it runs on: requests to the control device, an
// event for the log, and a connection to the communication port. One implementation runs on the
// simulated machine, one on Windows; the encoding and decoding above them is shared.
#pragma once

#include "client/status.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vexclient {

class DeviceTransport {
public:
    virtual ~DeviceTransport() = default;

    // One buffered I/O control on the control device. The driver answers most controls by
    // writing into `output` without reporting a byte count, so the whole buffer stays the
    // caller's to read; `returned` receives the request's information field (0 on failure).
    virtual NtStatus Control(uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output,
                             uint32_t* returned) = 0;

    // An auto-reset event of the calling process, unsignalled, that the driver signals when it
    // queues a log record. The handle is the value the driver is given; the transport closes it
    // when it goes.
    virtual NtStatus CreateLogEvent(uint64_t* handle) = 0;

    // Waits for an event of CreateLogEvent: kStatusTimeout when it stayed unsignalled.
    virtual NtStatus WaitLogEvent(uint64_t handle, uint32_t milliseconds) = 0;
};

// A message as the port hands it out.
struct PortMessage {
    uint64_t messageId = 0;
    uint32_t replyLength = 0;  // the reply the sender waits for, its 16-byte header included; 0: none
    std::vector<uint8_t> body;
};

class PortTransport {
public:
    virtual ~PortTransport() = default;

    // Connects to the port of that name (\VexRegFilterConnectionPort), closing an earlier connection.
    virtual NtStatus Connect(const std::u16string& portName) = 0;

    // Waits for the next message.
    virtual NtStatus ReceiveMessage(PortMessage* message) = 0;

    // Answers a message with an empty reply (its header alone).
    virtual NtStatus Reply(uint64_t messageId) = 0;
};

}  // namespace vexclient
