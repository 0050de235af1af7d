// Filter-manager communication ports as user mode and the machine see them: connecting a process
// to a filter's port, receiving and answering the filter's messages, and the unload check's view
// of ports left open. Host code only.
//
// Objects. A server port (type "FilterConnectionPort") is a named object that FltCreateCommunicationPort
// makes and FltCloseCommunicationPort closes; closing stops new connections, existing ones stay.
// A connection (type "FilterCommunicationPort") is made by a user process's connect: the process
// holds it through a handle in its own table, the filter through the PFLT_PORT its ConnectNotify
// received. Each side closes on its own: the process's last handle going calls the filter's
// DisconnectNotify (unless the filter closed first); the filter's FltCloseClientPort ends the
// connection for the process too, whose later calls fail with STATUS_PORT_DISCONNECTED. A
// connection counts against its port's MaxConnections until the filter has closed it.
//
// A filter closes a client port through the variable its senders read it from (FltCloseClientPort
// clears it under the port lock, so a send sees the open port or none); closing through another
// variable while a send waits stops the machine, as that send's variable would keep a closed port.
//
// Messages. FltSendMessage queues a copy on the connection and waits for the process to take it
// (UserGetMessage) and, when the sender gave a reply buffer, to answer it (UserReplyMessage). The
// wait ends on the reply, on either side closing (STATUS_PORT_DISCONNECTED) or on the timeout,
// which runs on the simulated clock only: a test advances the clock to make a send time out.
//
// Locks. One port lock guards every port, connection and message; it is never held while a
// filter's callback runs or while another component is called.
#pragma once

#include "sim/core/kernel.h"

#include <string>
#include <vector>

namespace vexsim {

// Pool tags under which the filter manager asks the allocation hook before making a port or a
// connection, and with which FltBuildDefaultSecurityDescriptor allocates: this kernel's choices
// ("FMpt", "FMcp", "FMsd" in pool dumps).
constexpr ULONG kServerPortTag = 'tpMF';
constexpr ULONG kConnectionTag = 'pcMF';
constexpr ULONG kPortDescriptorTag = 'dsMF';

// A connect beyond a port's MaxConnections. Windows does not document the status; this kernel
// answers STATUS_CONNECTION_COUNT_LIMIT, which user mode sees as ERROR_CONNECTION_COUNT_LIMIT.
constexpr NTSTATUS kStatusConnectionCountLimit = static_cast<NTSTATUS>(0xC0000246L);

// A message as FilterGetMessage hands it out: the FILTER_MESSAGE_HEADER fields and the body.
struct PortMessage {
    ULONGLONG messageId = 0;
    ULONG replyLength = 0;            // the reply the sender expects, FILTER_REPLY_HEADER included; 0: none
    std::vector<unsigned char> body;  // the sender's bytes
};

// User-mode calls: valid only inside a UserModeScope (the caller acts as a user process).

// FilterConnectCommunicationPort: connects the process to the server port of that name (an NT
// name such as \VexRegFilterConnectionPort), with FLT_PORT_CONNECT checked against the port's
// DACL and mandatory label. The filter's ConnectNotify runs in the caller's thread with the
// context bytes; its failure is the caller's. The handle goes to the process's table and is
// closed with UserCloseHandle.
[[nodiscard]] NTSTATUS UserConnectCommunicationPort(const std::u16string& portName, const void* context, USHORT contextSize,
                                                    HANDLE* port);

// FilterGetMessage without OVERLAPPED: waits until a message is queued on the connection and takes
// the oldest; STATUS_PORT_DISCONNECTED once the filter has closed the connection.
[[nodiscard]] NTSTATUS UserGetMessage(HANDLE port, PortMessage* message);

// FilterReplyMessage: answers a message taken with UserGetMessage. STATUS_FLT_NO_WAITER_FOR_REPLY
// when its sender no longer waits (timed out) or expected no reply. A reply longer than the sender
// expected reaches the sender as STATUS_BUFFER_OVERFLOW; the process is not told (this kernel's
// choice; Windows does not document it).
[[nodiscard]] NTSTATUS UserReplyMessage(HANDLE port, ULONGLONG messageId, const void* reply, ULONG replyLength);

// FilterSendMessage: calls the port's MessageNotify in the caller's thread with the caller's
// buffers; STATUS_INVALID_DEVICE_REQUEST when the port has none.
[[nodiscard]] NTSTATUS UserSendMessage(HANDLE port, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                                       ULONG* bytesReturned);

// Host side, inside a UserModeScope: waits until `count` messages on the connection behind the
// handle have senders waiting on them (queued, or taken and not answered), without sleeping, and
// returns when each of those senders gives up, in interrupt time (LLONG_MAX: never), queued
// messages first.
std::vector<LONGLONG> WaitForWaitingSenders(HANDLE port, size_t count);

// Host side, inside a UserModeScope: the PFLT_PORT the filter was given for the connection behind
// the handle, as the filter prints it.
PFLT_PORT FilterSideOfPort(HANDLE port);

// The unload check: server ports not closed and connections the filter has not closed.
void ReportPorts(std::vector<std::string>& out);

// Boot and shutdown: no ports. Shutdown forgets them; the object store frees the objects.
void ResetPorts();

}  // namespace vexsim
