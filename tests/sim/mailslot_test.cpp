// Mailslots: a server's reader sees each message exactly as written, once; writes complete only
// on files opened for synchronous I/O; names ignore case and the DOS form reaches them too.
#include "sim/fs/mailslot.h"
#include "sim/ps/process.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<unsigned char>;

class MailslotTest : public vextest::MachineTest {
protected:
    static NTSTATUS Open(const std::u16string& path, ULONG options, HANDLE* handle)
    {
        vextest::Wide name(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK io{};
        return ZwCreateFile(handle, GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            FILE_OPEN, options, nullptr, 0);
    }
    static NTSTATUS Write(HANDLE handle, Bytes data)
    {
        IO_STATUS_BLOCK io{};
        return ZwWriteFile(handle, nullptr, nullptr, nullptr, &io, data.data(), (ULONG)data.size(), nullptr, nullptr);
    }
};

TEST_F(MailslotTest, SynchronousWritesArriveWholeAndInOrder)
{
    ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateMailslot(u"Debug"));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, vexsim::CreateMailslot(u"DEBUG"));
    HANDLE device = nullptr;
    HANDLE dos = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(u"\\Device\\mailslot\\debug", FILE_SYNCHRONOUS_IO_NONALERT, &device));
    ASSERT_EQ(STATUS_SUCCESS, Open(u"\\??\\MAILSLOT\\Debug", FILE_SYNCHRONOUS_IO_ALERT, &dos));
    EXPECT_EQ(STATUS_SUCCESS, Write(device, {1, 2, 3}));
    EXPECT_EQ(STATUS_SUCCESS, Write(dos, {4}));
    EXPECT_EQ(STATUS_SUCCESS, Write(device, {}));
    EXPECT_EQ((std::vector<Bytes>{{1, 2, 3}, {4}, {}}), vexsim::ReadMailslot(u"Debug"));
    EXPECT_EQ(std::vector<Bytes>{}, vexsim::ReadMailslot(u"Debug")) << "each message is read once";
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(device));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(dos));
}

// A write on a file without synchronous I/O is only queued: the caller's buffer stays in use,
// and here nothing is delivered.
TEST_F(MailslotTest, AsynchronousWritesStayPending)
{
    ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateMailslot(u"Debug"));
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(u"\\Device\\Mailslot\\Debug", FILE_NON_DIRECTORY_FILE, &handle));
    EXPECT_EQ(STATUS_PENDING, Write(handle, {1}));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_EQ(std::vector<Bytes>{}, vexsim::ReadMailslot(u"Debug"));
}

TEST_F(MailslotTest, OpensOfMissingOrDirectoryMailslotsFail)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(u"\\Device\\Mailslot\\Nobody", FILE_SYNCHRONOUS_IO_NONALERT, &handle));
    ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateMailslot(u"Debug"));
    EXPECT_EQ(STATUS_NOT_A_DIRECTORY, Open(u"\\Device\\Mailslot\\Debug", FILE_DIRECTORY_FILE, &handle));
    vextest::Wide name(u"\\Device\\Mailslot\\Debug");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(STATUS_NOT_SUPPORTED, ZwCreateFile(&handle, GENERIC_WRITE, &attributes, &io, nullptr, 0, 0, FILE_OPEN + 1, 0, nullptr, 0))
        << "a mailslot is made by its server, not by a writer";

    // A deleted mailslot takes no more messages; a file still open on it writes into nothing.
    ASSERT_EQ(STATUS_SUCCESS, Open(u"\\Device\\Mailslot\\Debug", FILE_SYNCHRONOUS_IO_NONALERT, &handle));
    vexsim::DeleteMailslot(u"Debug");
    EXPECT_EQ(STATUS_SUCCESS, Write(handle, {1}));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_EQ(std::vector<Bytes>{}, vexsim::ReadMailslot(u"Debug"));
}

TEST_F(MailslotTest, WritesAbovePassiveLevelStopTheMachine)
{
    ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateMailslot(u"Debug"));
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(u"\\Device\\Mailslot\\Debug", FILE_SYNCHRONOUS_IO_NONALERT, &handle));
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            (void)Write(handle, {1});
        },
        "STOP: ZwWriteFile called at IRQL 1");
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
}

}  // namespace
