// A port client of a session: a user process of the machine connected to the driver's port, with
// a host thread that receives and answers every message until the driver closes the connection
// (at its unload). Host code only.
#pragma once

#include "client/port_client.h"
#include "client/sim_transport.h"

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vexrun {

class PortListener {
public:
    explicit PortListener(std::string name);
    ~PortListener();
    PortListener(const PortListener&) = delete;
    PortListener& operator=(const PortListener&) = delete;

    // Connects and starts receiving; the connect's status.
    vexclient::NtStatus Start();

    // Waits until the connection is closed (the driver unloaded), then ends the client process.
    // Returns the messages in the order they came, each "name: pid ... started ...".
    std::vector<std::string> Finish();

private:
    void Receive();

    std::string name_;
    PEPROCESS process_ = nullptr;
    std::unique_ptr<vexclient::SimTransport> transport_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> messages_;
};

}  // namespace vexrun
