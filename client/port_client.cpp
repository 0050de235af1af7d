#include "client/port_client.h"

#include <stdexcept>

namespace vexclient {

Result<vextools::ProcessMessage> PortClient::Next()
{
    Result<vextools::ProcessMessage> result;
    PortMessage message;
    result.status = port_.ReceiveMessage(&message);
    if (!Succeeded(result.status)) {
        return result;
    }
    if (message.replyLength != 0) {
        result.status = port_.Reply(message.messageId);
    }
    try {
        result.value = vextools::DecodeProcessMessage(message.body.data(), message.body.size());
    } catch (const std::invalid_argument& error) {
        result.problem = error.what();
    }
    return result;
}

}  // namespace vexclient
