// Filter-manager communication ports: who may connect, how sends end, and what the unload check
// sees of ports left open.
#include "sim/executive/clock.h"
#include "sim/flt/port.h"
#include "sim/machine/driver_package.h"
#include "sim/io/io.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "tests/support/machine_fixture.h"

#include <future>

namespace {

PFLT_FILTER g_filter = nullptr;
PFLT_PORT g_clientPort = nullptr;

NTSTATUS FLTAPI OnConnect(PFLT_PORT ClientPort, PVOID, PVOID, ULONG, PVOID* Cookie)
{
    g_clientPort = ClientPort;
    *Cookie = &g_clientPort;
    return STATUS_SUCCESS;
}

VOID FLTAPI OnDisconnect(PVOID Cookie)
{
    FltCloseClientPort(g_filter, static_cast<PFLT_PORT*>(Cookie));
}

const FLT_OPERATION_REGISTRATION kNoOperations[] = {{IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};

class FilterPortTest : public vextest::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        driver_ = vexsim::CreateDriverObject(u"PortTest");
        ASSERT_EQ(STATUS_SUCCESS, vexsim::InstallFilterInstances(u"PortTest", u"370000"));
        FLT_REGISTRATION registration{};
        registration.Size = sizeof(FLT_REGISTRATION);
        registration.Version = FLT_REGISTRATION_VERSION;
        registration.OperationRegistration = kNoOperations;
        ASSERT_EQ(STATUS_SUCCESS, FltRegisterFilter(driver_, &registration, &g_filter));
        g_clientPort = nullptr;
        client_ = vexsim::CreateUserProcess(vexsim::ProcessParams{u"\\Device\\HarddiskVolume3\\client.exe"});
    }

    void TearDown() override
    {
        FltCloseClientPort(g_filter, &g_clientPort);
        if (server_ != nullptr) {
            FltCloseCommunicationPort(server_);
        }
        FltUnregisterFilter(g_filter);
        vexsim::DeleteDriverObject(driver_);
        MachineTest::TearDown();
    }

    NTSTATUS CreatePort(PSECURITY_DESCRIPTOR descriptor)
    {
        UNICODE_STRING name{18, 20, (PWSTR)u"\\TestPort"};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, descriptor);
        return FltCreateCommunicationPort(g_filter, &server_, &attributes, nullptr, OnConnect, OnDisconnect, nullptr, 1);
    }

    NTSTATUS Connect(PEPROCESS process)
    {
        vexsim::UserModeScope user(process);
        return vexsim::UserConnectCommunicationPort(u"\\TestPort", nullptr, 0, &port_);
    }

    // A send from another thread, waiting for the client.
    std::future<NTSTATUS> SendAsync(ULONG replyCapacity, LONGLONG timeout, bool wantReply = true)
    {
        return std::async(std::launch::async, [=, this] {
            LARGE_INTEGER due;
            due.QuadPart = timeout;
            ULONG reply[2];
            ULONG replyLength = replyCapacity;
            return FltSendMessage(g_filter, &g_clientPort, (PVOID) "ping", 4, wantReply ? reply : nullptr, &replyLength, &due);
        });
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PFLT_PORT server_ = nullptr;
    PEPROCESS client_ = nullptr;
    HANDLE port_ = nullptr;
};

TEST_F(FilterPortTest, ConnectingNeedsTheDaclsGrantAndALabelNotAboveTheCaller)
{
    struct LowLabel {
        ACL acl{ACL_REVISION, 0, 28, 1, 0};
        ACE_HEADER header{SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0, 20};
        ACCESS_MASK mask = SYSTEM_MANDATORY_LABEL_NO_WRITE_UP;
        SID sid{SID_REVISION, 1, SECURITY_MANDATORY_LABEL_AUTHORITY, {SECURITY_MANDATORY_LOW_RID}};
    } lowLabel;
    struct Row {
        const char* what;
        bool nullDacl;
        bool lowLabel;
        bool administrator;
        ULONG integrity;
        NTSTATUS expected;
    };
    const Row rows[] = {
        {"default descriptor, ordinary user", false, false, false, vexsim::kMediumIntegrity, STATUS_ACCESS_DENIED},
        {"default descriptor, administrator", false, false, true, vexsim::kMediumIntegrity, STATUS_SUCCESS},
        {"NULL DACL, ordinary user", true, false, false, vexsim::kMediumIntegrity, STATUS_SUCCESS},
        {"NULL DACL, low integrity under the default medium label", true, false, false, vexsim::kLowIntegrity, STATUS_ACCESS_DENIED},
        {"NULL DACL and a low label, low integrity", true, true, false, vexsim::kLowIntegrity, STATUS_SUCCESS},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, FltBuildDefaultSecurityDescriptor(&descriptor, FLT_PORT_ALL_ACCESS));
        if (row.nullDacl) {
            ASSERT_EQ(STATUS_SUCCESS, RtlSetDaclSecurityDescriptor(descriptor, TRUE, nullptr, FALSE));
        }
        if (row.lowLabel) {
            ASSERT_EQ(STATUS_SUCCESS, RtlSetSaclSecurityDescriptor(descriptor, TRUE, &lowLabel.acl, FALSE));
        }
        ASSERT_EQ(STATUS_SUCCESS, CreatePort(descriptor));
        FltFreeSecurityDescriptor(descriptor);
        vexsim::ProcessParams params{u"\\Device\\HarddiskVolume3\\client.exe"};
        params.administrator = row.administrator;
        params.integrityLevel = row.integrity;
        PEPROCESS process = vexsim::CreateUserProcess(params);
        EXPECT_EQ(row.expected, Connect(process));
        vexsim::EndProcess(process);  // closes the connection, if one was made
        FltCloseCommunicationPort(server_);
        server_ = nullptr;
    }
}

TEST_F(FilterPortTest, ASendEndsOnItsReplyOrTheTimeoutAndALateReplyFindsNoWaiter)
{
    ASSERT_EQ(STATUS_SUCCESS, CreatePort(nullptr));
    ASSERT_EQ(STATUS_SUCCESS, Connect(client_));
    vexsim::UserModeScope user(client_);
    vexsim::PortMessage message;
    const ULONG longReply[2] = {1, 2};

    auto tooLong = SendAsync(4, -10);
    ASSERT_EQ(STATUS_SUCCESS, vexsim::UserGetMessage(port_, &message));
    EXPECT_EQ(16u + 4u, message.replyLength) << "the reply header and the payload the sender takes";
    EXPECT_EQ(STATUS_SUCCESS, vexsim::UserReplyMessage(port_, message.messageId, longReply, sizeof(longReply)));
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, tooLong.get());

    auto noReply = SendAsync(0, -10, false);
    ASSERT_EQ(STATUS_SUCCESS, vexsim::UserGetMessage(port_, &message));
    EXPECT_EQ(0u, message.replyLength);
    EXPECT_EQ(STATUS_SUCCESS, noReply.get()) << "delivered is done when no reply is wanted";

    auto late = SendAsync(4, -10);
    ASSERT_EQ(STATUS_SUCCESS, vexsim::UserGetMessage(port_, &message));
    vexsim::AdvanceSimulatedClock(10);
    EXPECT_EQ(STATUS_TIMEOUT, late.get());
    EXPECT_EQ(STATUS_FLT_NO_WAITER_FOR_REPLY, vexsim::UserReplyMessage(port_, message.messageId, nullptr, 0));

    ASSERT_EQ(STATUS_SUCCESS, vexsim::UserCloseHandle(port_));
    EXPECT_EQ(nullptr, g_clientPort) << "the disconnect notification closed the client port through its variable";
    EXPECT_EQ(STATUS_PORT_DISCONNECTED, SendAsync(4, -10).get());
}

TEST_F(FilterPortTest, PortsAndClientPortsLeftOpenAreLeftovers)
{
    ASSERT_EQ(STATUS_SUCCESS, CreatePort(nullptr));
    ASSERT_EQ(STATUS_SUCCESS, Connect(client_));
    vexsim::Leftovers ports;
    for (const std::string& leftover : vexsim::CheckLeftovers()) {
        if (leftover.find("port") != std::string::npos) {
            ports.push_back(leftover);
        }
    }
    EXPECT_EQ((vexsim::Leftovers{"communication port \\TestPort not closed",
                                 "client port of pid " + std::to_string(client_->id) + ", client.exe on \\TestPort not closed by the filter"}),
              ports);
}

}  // namespace
