// Communication ports: messages from the filter to a connected process and the process's replies
// (port_internal.h states the invariants).
#include "sim/flt/port.h"

#include "sim/executive/dispatcher.h"
#include "sim/flt/port_internal.h"
#include "sim/ob/object.h"
#include "sim/ps/user_mode_scope.h"
#include "sim/rtl/string_contract.h"

#include <algorithm>
#include <cstring>

namespace vexsim {

namespace {

// FILTER_REPLY_HEADER: the status and the message id that user mode puts before its reply.
constexpr ULONG kFilterReplyHeaderSize = 16;

ULONGLONG g_nextMessageId = 1;  // guarded by g_portLock

// A zero timeout is taken as "do not wait" (Windows leaves it unclear; see PLATFORM-NOTES 9.10).
Deadline DeadlineFor(const LARGE_INTEGER* timeout)
{
    if (timeout == nullptr) {
        return {};
    }
    LONGLONG value = timeout->QuadPart;
    if (value >= 0) {
        return {Deadline::Kind::SystemTime, value};
    }
    LONGLONG now = SimulatedInterruptTime();
    LONGLONG interval = value == std::numeric_limits<LONGLONG>::min() ? std::numeric_limits<LONGLONG>::max() : -value;
    LONGLONG due = now > std::numeric_limits<LONGLONG>::max() - interval ? std::numeric_limits<LONGLONG>::max() : now + interval;
    return {Deadline::Kind::InterruptTime, due};
}

void WaitForOutcome(const Message& message)
{
    std::unique_lock lock(DispatcherLock());
    while (message.outcome.load() == Outcome::Waiting && !message.deadline.Expired()) {
        BlockOnDispatcher(lock);
    }
}

// Takes the message off its connection if it is still there (its sender stops waiting).
void WithdrawMessage(Connection* connection, const MessagePtr& message)
{
    auto queued = std::find(connection->queued.begin(), connection->queued.end(), message);
    if (queued != connection->queued.end()) {
        connection->queued.erase(queued);
    }
    connection->taken.erase(message->id);
}

}  // namespace

NTSTATUS UserGetMessage(HANDLE port, PortMessage* message)
{
    RequireUserMode("UserGetMessage");
    Connection* connection;
    NTSTATUS status = ReferenceConnection(port, &connection);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    MessagePtr taken;
    {
        std::unique_lock lock(g_portLock);
        g_portChanged.wait(lock, [&] { return !connection->queued.empty() || !connection->filterOpen; });
        if (!connection->filterOpen) {
            status = STATUS_PORT_DISCONNECTED;
        } else {
            taken = connection->queued.front();
            connection->queued.pop_front();
            if (taken->replyExpected) {
                connection->taken.emplace(taken->id, taken);
            } else {
                taken->outcome = Outcome::Delivered;
            }
        }
    }
    if (taken != nullptr) {
        message->messageId = taken->id;
        message->replyLength = taken->replyExpected ? kFilterReplyHeaderSize + taken->replyCapacity : 0;
        message->body = taken->body;
        g_portChanged.notify_all();
        WakeSenders();
    }
    DereferenceObject(connection);
    return status;
}

NTSTATUS UserReplyMessage(HANDLE port, ULONGLONG messageId, const void* reply, ULONG replyLength)
{
    RequireUserMode("UserReplyMessage");
    Connection* connection;
    NTSTATUS status = ReferenceConnection(port, &connection);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    {
        std::lock_guard lock(g_portLock);
        auto found = connection->taken.find(messageId);
        if (!connection->filterOpen) {
            status = STATUS_PORT_DISCONNECTED;
        } else if (found == connection->taken.end()) {
            status = STATUS_FLT_NO_WAITER_FOR_REPLY;
        } else {
            MessagePtr message = found->second;
            connection->taken.erase(found);
            if (replyLength > message->replyCapacity) {
                message->outcome = Outcome::ReplyTooLong;
            } else {
                auto* bytes = static_cast<const unsigned char*>(reply);
                message->reply.assign(bytes, bytes + (reply == nullptr ? 0 : replyLength));
                message->outcome = Outcome::Replied;
            }
        }
    }
    g_portChanged.notify_all();
    WakeSenders();
    DereferenceObject(connection);
    return status;
}

NTSTATUS UserSendMessage(HANDLE port, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                         ULONG* bytesReturned)
{
    RequireUserMode("UserSendMessage");
    *bytesReturned = 0;
    Connection* connection;
    NTSTATUS status = ReferenceConnection(port, &connection);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PFLT_MESSAGE_NOTIFY notify = nullptr;
    PVOID cookie = nullptr;
    {
        std::lock_guard lock(g_portLock);
        if (!connection->filterOpen) {
            status = STATUS_PORT_DISCONNECTED;
        } else {
            notify = connection->port->message;
            cookie = connection->cookie;
        }
    }
    if (NT_SUCCESS(status)) {
        ULONG returned = 0;
        status = notify == nullptr ? STATUS_INVALID_DEVICE_REQUEST
                                   : notify(cookie, const_cast<void*>(input), inputLength, output, outputLength, &returned);
        *bytesReturned = returned;
    }
    DereferenceObject(connection);
    return status;
}

std::vector<LONGLONG> WaitForWaitingSenders(HANDLE port, size_t count)
{
    Connection* connection;
    if (!NT_SUCCESS(ReferenceConnection(port, &connection))) {
        StopMachine("WaitForWaitingSenders on a handle that is not a connection");
    }
    std::vector<LONGLONG> givesUpAt;
    {
        std::unique_lock lock(g_portLock);
        g_portChanged.wait(lock, [&] { return connection->queued.size() + connection->taken.size() >= count; });
        for (const MessagePtr& message : connection->queued) {
            givesUpAt.push_back(message->deadline.GivesUpAt());
        }
        for (const auto& [id, message] : connection->taken) {
            givesUpAt.push_back(message->deadline.GivesUpAt());
        }
    }
    DereferenceObject(connection);
    return givesUpAt;
}

}  // namespace vexsim

using namespace vexsim;

// The port is read from *ClientPort under the port lock, so a FltCloseClientPort of the same
// variable either comes first (the send finds NULL: STATUS_PORT_DISCONNECTED) or ends the send.
// The deadline is fixed before the message can be seen, so advancing the clock after the message
// arrived always reaches it.
extern "C" NTSTATUS FLTAPI FltSendMessage(PFLT_FILTER Filter, PFLT_PORT* ClientPort, PVOID SenderBuffer, ULONG SenderBufferLength,
                                          PVOID ReplyBuffer, PULONG ReplyLength, PLARGE_INTEGER Timeout)
{
    CheckArgumentPresent(ClientPort, "FltSendMessage", "ClientPort");
    CheckIrqlAtMost(APC_LEVEL, "FltSendMessage");
    if (ReplyBuffer != nullptr && ReplyLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto message = std::make_shared<Message>();
    message->deadline = DeadlineFor(Timeout);
    auto* bytes = static_cast<const unsigned char*>(SenderBuffer);
    message->body.assign(bytes, bytes + (SenderBuffer == nullptr ? 0 : SenderBufferLength));
    message->replyExpected = ReplyBuffer != nullptr;
    message->replyCapacity = ReplyBuffer != nullptr ? *ReplyLength : 0;
    message->variable = ClientPort;

    Connection* connection;
    {
        std::lock_guard lock(g_portLock);
        connection = static_cast<Connection*>(__atomic_load_n(ClientPort, __ATOMIC_SEQ_CST));
        if (connection == nullptr) {
            return STATUS_PORT_DISCONNECTED;
        }
        if (g_openConnections.count(connection) == 0) {
            StopMachine("FltSendMessage on a client port the filter has closed");
        }
        if (connection->port->filter != Filter) {
            StopMachine("FltSendMessage with a filter that does not own the client port");
        }
        if (!connection->processOpen) {
            return STATUS_PORT_DISCONNECTED;
        }
        message->id = g_nextMessageId++;
        connection->queued.push_back(message);
        ReferenceObject(connection);
    }
    g_portChanged.notify_all();

    WaitForOutcome(*message);

    NTSTATUS status;
    {
        std::lock_guard lock(g_portLock);
        Outcome outcome = message->outcome.load();
        if (outcome == Outcome::Waiting) {
            WithdrawMessage(connection, message);
        }
        switch (outcome) {
        case Outcome::Waiting:
            status = STATUS_TIMEOUT;
            break;
        case Outcome::Delivered:
            status = STATUS_SUCCESS;
            break;
        case Outcome::Replied:
            if (!message->reply.empty()) {
                std::memcpy(ReplyBuffer, message->reply.data(), message->reply.size());
            }
            *ReplyLength = static_cast<ULONG>(message->reply.size());
            status = STATUS_SUCCESS;
            break;
        case Outcome::ReplyTooLong:
            status = STATUS_BUFFER_OVERFLOW;
            break;
        case Outcome::Disconnected:
        default:
            status = STATUS_PORT_DISCONNECTED;
            break;
        }
    }
    g_portChanged.notify_all();
    DereferenceObject(connection);
    return status;
}
