#include "tools/vexsim-run/port_listener.h"

#include "sim/ps/process.h"
#include "sim/rtl/utf8.h"

namespace vexrun {

PortListener::PortListener(std::string name) : name_(std::move(name))
{
    process_ = vexsim::CreateUserProcess(
        vexsim::ProcessParams{u"\\Device\\HarddiskVolume3\\Program Files\\Vex\\" + vexsim::Utf8ToUtf16(name_) + u".exe"});
    transport_ = std::make_unique<vexclient::SimTransport>(process_);
}

PortListener::~PortListener() { Finish(); }

vexclient::NtStatus PortListener::Start()
{
    vexclient::PortClient client(*transport_);
    vexclient::NtStatus status = client.Connect();
    if (vexclient::Succeeded(status)) {
        thread_ = std::thread([this] { Receive(); });
    }
    return status;
}

void PortListener::Receive()
{
    vexclient::PortClient client(*transport_);
    for (;;) {
        vexclient::Result<vextools::ProcessMessage> message = client.Next();
        if (!vexclient::Succeeded(message.status)) {
            return;  // the driver closed the connection
        }
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(name_ + ": " +
                            (message.problem.empty() ? vextools::DescribeProcessMessage(message.value) : message.problem));
    }
}

std::vector<std::string> PortListener::Finish()
{
    if (thread_.joinable()) {
        thread_.join();
    }
    transport_.reset();
    if (process_ != nullptr) {
        vexsim::EndProcess(process_);
        process_ = nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

}  // namespace vexrun
