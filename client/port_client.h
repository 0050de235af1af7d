// The port client: receives the driver's process messages over the communication port and
// answers each with the empty reply the driver waits for.
#pragma once

#include "client/control_client.h"
#include "client/transport.h"

namespace vexclient {

// The driver's port, by its NT name.
inline constexpr char16_t kPortName[] = u"\\VexRegFilterConnectionPort";

class PortClient {
public:
    explicit PortClient(PortTransport& port) : port_(port) {}

    NtStatus Connect() { return port_.Connect(kPortName); }

    // Waits for the next message, replies to it (before decoding, so the driver's sender never
    // waits on a message this client cannot read) and decodes it.
    Result<vextools::ProcessMessage> Next();

private:
    PortTransport& port_;
};

}  // namespace vexclient
