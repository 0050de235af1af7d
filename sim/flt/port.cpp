// Communication ports: the port and connection objects, connecting with its access check, both
// sides' closes and the unload check (port_internal.h states the invariants).
#include "sim/flt/port.h"

#include "sim/executive/bugcheck.h"
#include "sim/executive/dispatcher.h"
#include "sim/executive/fault_injection.h"
#include "sim/flt/filter.h"
#include "sim/flt/port_internal.h"
#include "sim/ob/handles.h"
#include "sim/ob/namespace.h"
#include "sim/ob/object.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "sim/rtl/string_contract.h"
#include "sim/rtl/utf.h"

namespace vexsim {

std::mutex g_portLock;
std::condition_variable g_portChanged;
std::set<Connection*> g_openConnections;

void WakeSenders()
{
    std::lock_guard guard(DispatcherLock());
    DispatcherCondition().notify_all();
}

// Ends every message of the connection with Disconnected; caller holds g_portLock.
void DisconnectMessages(Connection* connection)
{
    for (const MessagePtr& message : connection->queued) {
        message->outcome = Outcome::Disconnected;
    }
    for (auto& [id, message] : connection->taken) {
        message->outcome = Outcome::Disconnected;
    }
    connection->queued.clear();
    connection->taken.clear();
}

namespace {

std::set<ListeningPort*> g_serverPorts;  // created and not closed; guarded by g_portLock

// Connecting counts as writing to the port: a process below the port's mandatory label is refused
// by the label's no-write-up policy. Windows does not document the port type's generic mapping;
// this choice matches what drivers do to let low-integrity clients in (a low label on the port).
constexpr ACCESS_MASK kPortWriteRights = STANDARD_RIGHTS_WRITE | FLT_PORT_CONNECT;
const GENERIC_MAPPING kPortMapping{STANDARD_RIGHTS_READ, kPortWriteRights, STANDARD_RIGHTS_EXECUTE, FLT_PORT_ALL_ACCESS};

void DeleteServerPort(PVOID body)
{
    auto* port = static_cast<ListeningPort*>(body);
    DereferenceObject(port->filter);
    port->~ListeningPort();
}

void DeleteConnection(PVOID body)
{
    static_cast<Connection*>(body)->~Connection();
}

// The process's last handle went: pending messages end, and the filter hears of it unless it
// closed its side first.
void CloseConnectionFromProcess(PVOID body)
{
    auto* connection = static_cast<Connection*>(body);
    PFLT_DISCONNECT_NOTIFY disconnect = nullptr;
    PVOID cookie = nullptr;
    {
        std::lock_guard lock(g_portLock);
        connection->processOpen = false;
        DisconnectMessages(connection);
        if (connection->filterOpen) {
            disconnect = connection->port->disconnect;
            cookie = connection->cookie;
        }
    }
    g_portChanged.notify_all();
    WakeSenders();
    if (disconnect != nullptr) {
        disconnect(cookie);
    }
}

std::string DescribeConnection(PVOID body)
{
    auto* connection = static_cast<Connection*>(body);
    return "of " + connection->client + " on " + Utf16ToUtf8(connection->portName);
}

_OBJECT_TYPE g_serverPortType{"FilterConnectionPort", kPortMapping, FLT_PORT_ALL_ACCESS, nullptr, DeleteServerPort, nullptr};
_OBJECT_TYPE g_connectionType{"FilterCommunicationPort", kPortMapping, FLT_PORT_ALL_ACCESS, CloseConnectionFromProcess,
                              DeleteConnection, DescribeConnection};

// The label of a descriptor: the level of its mandatory-label entry and the entry's policy. A
// descriptor without one carries the default label, medium with no-write-up.
void LabelOf(const SecurityDescriptorBytes& descriptor, ULONG* level, ACCESS_MASK* policy)
{
    *level = kMediumIntegrity;
    *policy = SYSTEM_MANDATORY_LABEL_NO_WRITE_UP;
    if (descriptor.empty()) {
        return;
    }
    BOOLEAN present = FALSE;
    BOOLEAN defaulted = FALSE;
    PACL sacl = nullptr;
    auto* bytes = const_cast<UCHAR*>(descriptor.data());
    if (!NT_SUCCESS(RtlGetSaclSecurityDescriptor(bytes, &present, &sacl, &defaulted)) || !present || sacl == nullptr) {
        return;
    }
    for (ULONG i = 0; i < sacl->AceCount; i++) {
        PVOID ace = nullptr;
        if (NT_SUCCESS(RtlGetAce(sacl, i, &ace)) && static_cast<PACE_HEADER>(ace)->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE) {
            auto* label = static_cast<PSYSTEM_MANDATORY_LABEL_ACE>(ace);
            auto* sid = reinterpret_cast<PISID>(&label->SidStart);
            *level = sid->SubAuthority[sid->SubAuthorityCount - 1];
            *policy = label->Mask;
            return;
        }
    }
}

NTSTATUS CheckConnectAccess(const ListeningPort* port, PEPROCESS process)
{
    if (!port->descriptor.empty()) {
        ACCESS_MASK granted = 0;
        NTSTATUS status = AccessCheck(port->descriptor, TokenOf(process), FLT_PORT_CONNECT, kPortMapping, &granted);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    ULONG level;
    ACCESS_MASK policy;
    LabelOf(port->descriptor, &level, &policy);
    if (process->integrityLevel < level && (policy & SYSTEM_MANDATORY_LABEL_NO_WRITE_UP) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}

// A self-relative copy of the descriptor the filter gave, in either form.
NTSTATUS CaptureDescriptor(PSECURITY_DESCRIPTOR given, SecurityDescriptorBytes* captured)
{
    captured->clear();
    if (given == nullptr) {
        return STATUS_SUCCESS;
    }
    if (!RtlValidSecurityDescriptor(given)) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    if ((static_cast<PISECURITY_DESCRIPTOR>(given)->Control & SE_SELF_RELATIVE) != 0) {
        auto* bytes = static_cast<const UCHAR*>(given);
        captured->assign(bytes, bytes + RtlLengthSecurityDescriptor(given));
        return STATUS_SUCCESS;
    }
    ULONG length = 0;
    NTSTATUS status = RtlAbsoluteToSelfRelativeSD(given, nullptr, &length);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        return status;
    }
    captured->resize(length);
    return RtlAbsoluteToSelfRelativeSD(given, captured->data(), &length);
}

std::string ClientName(PEPROCESS process)
{
    return "pid " + std::to_string(process->id) + ", " + Utf16ToUtf8(process->imageName);
}

// Makes a connection for the process to the port and asks the filter; on success the connection
// is open on both sides, references the port, and *connection holds the filter side's reference.
NTSTATUS Connect(ListeningPort* port, PEPROCESS process, const void* context, USHORT contextSize, Connection** connection)
{
    {
        std::lock_guard lock(g_portLock);
        if (g_serverPorts.count(port) == 0) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (port->connections >= port->maxConnections) {
            return kStatusConnectionCountLimit;
        }
        port->connections++;
    }
    ReferenceObject(port);
    auto* created = new (CreateObject(&g_connectionType, sizeof(Connection))) Connection{};
    created->server = false;
    created->port = port;
    created->portName = port->name;
    created->client = ClientName(process);
    created->filterOpen = true;
    created->processOpen = true;
    {
        std::lock_guard lock(g_portLock);
        g_openConnections.insert(created);
    }
    // The filter sees a kernel copy of the caller's context bytes.
    std::vector<unsigned char> contextCopy(static_cast<const unsigned char*>(context),
                                           static_cast<const unsigned char*>(context) + contextSize);
    PVOID cookie = nullptr;
    NTSTATUS status = port->connect(created, port->cookie, contextSize == 0 ? nullptr : contextCopy.data(), contextSize, &cookie);
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard lock(g_portLock);
            g_openConnections.erase(created);
            created->filterOpen = false;
            created->port = nullptr;
            port->connections--;
        }
        DereferenceObject(port);
        DereferenceObject(created);
        return status;
    }
    created->cookie = cookie;
    *connection = created;
    return STATUS_SUCCESS;
}

}  // namespace


void CheckClosedThroughSendersVariable(const Message& message, PFLT_PORT* closedThrough)
{
    if (message.variable != closedThrough) {
        StopMachine("FltCloseClientPort through " + FormatAddress(closedThrough) + " while FltSendMessage waits on the port it read from " +
                    FormatAddress(message.variable) + ": close a client port through the variable its senders use");
    }
}

void CheckIrqlAtMost(KIRQL highest, const char* routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > highest) {
        BugCheck(kIrqlNotLessOrEqual, irql, highest, 0, 0, std::string(routine) + " called at IRQL " + std::to_string(irql));
    }
}

// The connection behind a user handle, referenced.
NTSTATUS ReferenceConnection(HANDLE handle, Connection** connection)
{
    PVOID object = nullptr;
    NTSTATUS status = ReferenceObjectByHandle(handle, 0, &g_connectionType, UserMode, &object, nullptr);
    *connection = static_cast<Connection*>(object);
    return status;
}

NTSTATUS UserConnectCommunicationPort(const std::u16string& portName, const void* context, USHORT contextSize, HANDLE* port)
{
    RequireUserMode("UserConnectCommunicationPort");
    *port = nullptr;
    if ((context == nullptr) != (contextSize == 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID object = LookupObjectName(CanonicalName(portName));
    if (object == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (TypeOf(object) != &g_serverPortType) {
        DereferenceObject(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto* server = static_cast<ListeningPort*>(object);
    NTSTATUS status = CheckConnectAccess(server, CurrentContext().process);
    if (NT_SUCCESS(status) && ShouldFailAllocation(kConnectionTag)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    Connection* connection = nullptr;
    if (NT_SUCCESS(status)) {
        status = Connect(server, CurrentContext().process, context, contextSize, &connection);
    }
    DereferenceObject(server);
    if (NT_SUCCESS(status)) {
        *port = OpenHandle(connection, 0, FLT_PORT_ALL_ACCESS);
    }
    return status;
}

PFLT_PORT FilterSideOfPort(HANDLE port)
{
    Connection* connection;
    if (!NT_SUCCESS(ReferenceConnection(port, &connection))) {
        StopMachine("FilterSideOfPort on a handle that is not a connection");
    }
    DereferenceObject(connection);
    return connection;
}

void ReportPorts(std::vector<std::string>& out)
{
    std::lock_guard lock(g_portLock);
    for (ListeningPort* port : g_serverPorts) {
        out.push_back("communication port " + Utf16ToUtf8(port->name) + " not closed");
    }
    for (Connection* connection : g_openConnections) {
        out.push_back("client port " + DescribeConnection(connection) + " not closed by the filter");
    }
}

void ResetPorts()
{
    std::lock_guard lock(g_portLock);
    g_serverPorts.clear();
    g_openConnections.clear();
}

}  // namespace vexsim

using namespace vexsim;

// The default descriptor grants DesiredAccess to SYSTEM and Administrators only, in one paged
// allocation holding the absolute descriptor and its DACL; FltFreeSecurityDescriptor frees it.
extern "C" NTSTATUS FLTAPI FltBuildDefaultSecurityDescriptor(PSECURITY_DESCRIPTOR* SecurityDescriptor, ACCESS_MASK DesiredAccess)
{
    CheckArgumentPresent(SecurityDescriptor, "FltBuildDefaultSecurityDescriptor", "SecurityDescriptor");
    CheckIrqlAtMost(APC_LEVEL, "FltBuildDefaultSecurityDescriptor");
    *SecurityDescriptor = nullptr;
    SidBytes system;
    SidBytes administrators;
    (void)SidFromString(kSidLocalSystem, &system);
    (void)SidFromString(kSidAdministrators, &administrators);
    ULONG aclLength = static_cast<ULONG>(sizeof(ACL) + 2 * offsetof(ACCESS_ALLOWED_ACE, SidStart) + system.size() +
                                         administrators.size());
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, sizeof(SECURITY_DESCRIPTOR) + aclLength, kPortDescriptorTag));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* acl = reinterpret_cast<PACL>(block + sizeof(SECURITY_DESCRIPTOR));
    (void)RtlCreateSecurityDescriptor(block, SECURITY_DESCRIPTOR_REVISION);
    (void)RtlCreateAcl(acl, aclLength, ACL_REVISION);
    (void)RtlAddAccessAllowedAce(acl, ACL_REVISION, DesiredAccess, system.data());
    (void)RtlAddAccessAllowedAce(acl, ACL_REVISION, DesiredAccess, administrators.data());
    (void)RtlSetDaclSecurityDescriptor(block, TRUE, acl, FALSE);
    *SecurityDescriptor = block;
    return STATUS_SUCCESS;
}

extern "C" VOID FLTAPI FltFreeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    ExFreePoolWithTag(SecurityDescriptor, kPortDescriptorTag);
}

extern "C" NTSTATUS FLTAPI FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT* ServerPort, POBJECT_ATTRIBUTES ObjectAttributes,
                                                      PVOID ServerPortCookie, PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                                      PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                                      PFLT_MESSAGE_NOTIFY MessageNotifyCallback, LONG MaxConnections)
{
    CheckArgumentPresent(ServerPort, "FltCreateCommunicationPort", "ServerPort");
    CheckArgumentPresent(ObjectAttributes, "FltCreateCommunicationPort", "ObjectAttributes");
    CheckIrqlAtMost(PASSIVE_LEVEL, "FltCreateCommunicationPort");
    *ServerPort = nullptr;
    if (!IsRegisteredFilter(Filter)) {
        StopMachine("FltCreateCommunicationPort for a filter that is not registered");
    }
    if (ObjectAttributes->ObjectName == nullptr || (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) == 0 ||
        ConnectNotifyCallback == nullptr || DisconnectNotifyCallback == nullptr || MaxConnections <= 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name;
    NTSTATUS status = CaptureObjectName(ObjectAttributes->ObjectName, name);
    SecurityDescriptorBytes descriptor;
    if (NT_SUCCESS(status)) {
        status = CaptureDescriptor(ObjectAttributes->SecurityDescriptor, &descriptor);
    }
    if (NT_SUCCESS(status) && ShouldFailAllocation(kServerPortTag)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* port = new (CreateObject(&g_serverPortType, sizeof(ListeningPort), name)) ListeningPort{};
    port->server = true;
    ReferenceObject(Filter);
    port->filter = Filter;
    port->name = name;
    port->descriptor = std::move(descriptor);
    port->cookie = ServerPortCookie;
    port->connect = ConnectNotifyCallback;
    port->disconnect = DisconnectNotifyCallback;
    port->message = MessageNotifyCallback;
    port->maxConnections = MaxConnections;
    status = InsertObjectName(name, port);
    if (!NT_SUCCESS(status)) {
        DereferenceObject(port);
        return status;
    }
    {
        std::lock_guard lock(g_portLock);
        g_serverPorts.insert(port);
    }
    *ServerPort = port;
    return STATUS_SUCCESS;
}

extern "C" VOID FLTAPI FltCloseCommunicationPort(PFLT_PORT ServerPort)
{
    auto* port = static_cast<ListeningPort*>(ServerPort);
    {
        std::lock_guard lock(g_portLock);
        if (g_serverPorts.erase(port) == 0) {
            StopMachine("FltCloseCommunicationPort on a port that is not an open server port");
        }
    }
    RemoveObjectName(port->name, port);
    DereferenceObject(port);
}

extern "C" VOID FLTAPI FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT* ClientPort)
{
    UNREFERENCED_PARAMETER(Filter);
    CheckArgumentPresent(ClientPort, "FltCloseClientPort", "ClientPort");
    CheckIrqlAtMost(PASSIVE_LEVEL, "FltCloseClientPort");
    auto* connection = static_cast<Connection*>(__atomic_exchange_n(ClientPort, nullptr, __ATOMIC_SEQ_CST));
    if (connection == nullptr) {
        return;
    }
    ListeningPort* port;
    {
        std::lock_guard lock(g_portLock);
        if (g_openConnections.erase(connection) == 0) {
            StopMachine("FltCloseClientPort on a client port that is already closed");
        }
        // The filter manager keeps a send and a close of the same connection apart through the
        // variable both are given; a close through another one leaves the sender's variable
        // holding a closed port, which the next send through it would use.
        for (const MessagePtr& message : connection->queued) {
            CheckClosedThroughSendersVariable(*message, ClientPort);
        }
        for (const auto& [id, message] : connection->taken) {
            CheckClosedThroughSendersVariable(*message, ClientPort);
        }
        connection->filterOpen = false;
        DisconnectMessages(connection);
        port = connection->port;
        connection->port = nullptr;
        port->connections--;
    }
    g_portChanged.notify_all();
    WakeSenders();
    DereferenceObject(port);
    DereferenceObject(connection);
}
