// Volumes, drive letters, 8.3 short names, ZwOpenFile and ZwQueryDirectoryFile.
#include "sim/fs/file_system.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"

#include <vector>

namespace {

using vextest::Text;
using vextest::Utf8;
using vextest::Wide;

class FilesTest : public vextest::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LayDownWindowsVolume());
    }

    NTSTATUS Open(const char16_t* name, ACCESS_MASK access, ULONG options, HANDLE* handle)
    {
        Wide path(name);
        OBJECT_ATTRIBUTES attributes;
        IO_STATUS_BLOCK io;
        InitializeObjectAttributes(&attributes, path.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        return ZwOpenFile(handle, access, &attributes, &io, FILE_SHARE_READ | FILE_SHARE_WRITE, options);
    }

    HANDLE OpenDirectory(const char16_t* name)
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, Open(name, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &handle));
        return handle;
    }

    struct Listed {
        NTSTATUS status;
        std::string name;
        std::string shortName;
    };

    Listed Next(HANDLE directory, const char16_t* pattern, bool restart = false)
    {
        std::vector<unsigned char> buffer(1024);
        IO_STATUS_BLOCK io{};
        io.Status = 0x12345;
        Wide text(pattern != nullptr ? pattern : u"");
        NTSTATUS status = ZwQueryDirectoryFile(directory, NULL, NULL, NULL, &io, buffer.data(), (ULONG)buffer.size(),
                                               FileBothDirectoryInformation, TRUE, pattern ? text.get() : nullptr, restart);
        if (!NT_SUCCESS(status)) {
            return {status, "", ""};
        }
        auto* entry = reinterpret_cast<FILE_BOTH_DIR_INFORMATION*>(buffer.data());
        EXPECT_EQ(0u, entry->NextEntryOffset) << "one entry per call";
        return {status, Utf8(std::u16string((const char16_t*)entry->FileName, entry->FileNameLength / 2)),
                Utf8(std::u16string((const char16_t*)entry->ShortName, (UCHAR)entry->ShortNameLength / 2))};
    }
};

TEST_F(FilesTest, ShortNamesAreUniquePerDirectoryAndSwitchToAHashFromTheFifthCollision)
{
    EXPECT_EQ(u"C:\\PROGRA~1", vexsim::ShortPathOf(u"C:\\Program Files"));
    EXPECT_EQ(u"C:\\PROGRA~2", vexsim::ShortPathOf(u"C:\\Program Files (x86)"));
    EXPECT_EQ(u"C:\\PROGRA~3", vexsim::ShortPathOf(u"C:\\ProgramData"));
    EXPECT_EQ(u"C:\\Windows", vexsim::ShortPathOf(u"C:\\Windows")) << "valid 8.3 names get no short name";
    for (const char16_t* name : {u"C:\\d\\Long Name One.txt", u"C:\\d\\Long Name Two.txt", u"C:\\d\\Long Name Three.txt",
                                 u"C:\\d\\Long Name Four.txt", u"C:\\d\\Long Name Five.txt"}) {
        ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(name));
    }
    EXPECT_EQ(u"C:\\d\\LONGNA~4.TXT", vexsim::ShortPathOf(u"C:\\d\\Long Name Four.txt"));
    std::u16string fifth = vexsim::ShortPathOf(u"C:\\d\\Long Name Five.txt");
    EXPECT_EQ(u"C:\\d\\LO", fifth.substr(0, 7));
    EXPECT_EQ(u"~1.TXT", fifth.substr(11));
    EXPECT_EQ(u"\\Device\\HarddiskVolume3\\Program Files", vexsim::DevicePathOf(u"C:\\PROGRA~1"));
}

TEST_F(FilesTest, OpenChecksOptionsAccessAndKindAsTheDriverUsesThem)
{
    ASSERT_EQ(STATUS_SUCCESS, vexsim::DenyDirectoryListing(u"C:\\Users\\Alice\\Documents", true));
    struct Case {
        const char16_t* name;
        ACCESS_MASK access;
        ULONG options;
        NTSTATUS expected;
    } cases[] = {
        {u"\\??\\C:\\", FILE_LIST_DIRECTORY | SYNCHRONIZE, 0x21, STATUS_SUCCESS},                     // drive root
        {u"\\??\\c:\\program files\\", FILE_LIST_DIRECTORY | SYNCHRONIZE, 0x21, STATUS_SUCCESS},      // case ignored
        {u"\\??\\C:\\PROGRA~1\\", FILE_LIST_DIRECTORY | SYNCHRONIZE, 0x21, STATUS_SUCCESS},           // short name
        {u"\\Device\\HarddiskVolume3\\Windows\\", FILE_LIST_DIRECTORY | SYNCHRONIZE, 0x21, STATUS_SUCCESS},
        {u"\\??\\C:\\Windows\\", FILE_LIST_DIRECTORY, 0x20, STATUS_INVALID_PARAMETER},                // synchronous without SYNCHRONIZE
        {u"\\??\\C:\\Windows\\explorer.exe", FILE_LIST_DIRECTORY | SYNCHRONIZE, 0x21, STATUS_NOT_A_DIRECTORY},
        {u"\\??\\C:\\Windows\\explorer.exe\\", FILE_LIST_DIRECTORY | SYNCHRONIZE, 0x20, STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\C:\\Nowhere\\", FILE_LIST_DIRECTORY | SYNCHRONIZE, 0x21, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\??\\C:\\Nowhere\\Deeper\\", FILE_LIST_DIRECTORY | SYNCHRONIZE, 0x21, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\??\\Q:\\", FILE_LIST_DIRECTORY | SYNCHRONIZE, 0x21, STATUS_OBJECT_PATH_NOT_FOUND},       // no such drive
        {u"\\??\\C:\\Users\\Alice\\Documents\\", FILE_LIST_DIRECTORY | SYNCHRONIZE, 0x21, STATUS_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        HANDLE handle = nullptr;
        EXPECT_EQ(c.expected, Open(c.name, c.access, c.options, &handle)) << Utf8(c.name);
        if (handle != nullptr) {
            EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
        }
    }
}

TEST_F(FilesTest, ListingReturnsOneEntryPerCallInNameOrderThenEnds)
{
    HANDLE root = OpenDirectory(u"\\??\\C:\\");
    std::vector<std::string> names;
    for (Listed listed = Next(root, u"PROGRA*"); NT_SUCCESS(listed.status); listed = Next(root, nullptr)) {
        names.push_back(listed.name + "|" + listed.shortName);
    }
    EXPECT_EQ((std::vector<std::string>{"Program Files|PROGRA~1", "Program Files (x86)|PROGRA~2", "ProgramData|PROGRA~3"}), names);
    EXPECT_EQ(STATUS_NO_MORE_FILES, Next(root, nullptr).status);
    EXPECT_EQ("Program Files", Next(root, u"ignored after the first call", true).name) << "restart keeps the first pattern";
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(root));
}

TEST_F(FilesTest, APatternMatchesShortNamesAndAFirstCallWithoutMatchIsNoSuchFile)
{
    HANDLE root = OpenDirectory(u"\\??\\C:\\");
    EXPECT_EQ("Program Files (x86)", Next(root, u"progra~2").name);
    EXPECT_EQ(STATUS_NO_MORE_FILES, Next(root, nullptr).status);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(root));

    root = OpenDirectory(u"\\??\\C:\\");
    EXPECT_EQ(STATUS_NO_SUCH_FILE, Next(root, u"NOTHERE~1").status);
    EXPECT_EQ(STATUS_NO_MORE_FILES, Next(root, nullptr).status);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(root));
}

TEST_F(FilesTest, DriveLinksAnswerQueriesWithTheSizesWindowsGives)
{
    Wide name(u"\\??\\C:");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name.get(), OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE link = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ZwOpenSymbolicLinkObject(&link, GENERIC_READ, &attributes));

    UNICODE_STRING target{0, 0, nullptr};
    ULONG needed = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwQuerySymbolicLinkObject(link, &target, &needed));
    const std::u16string device = u"\\Device\\HarddiskVolume3";
    EXPECT_EQ((device.size() + 1) * 2, needed) << "room for a NUL when the length is asked for";
    std::vector<WCHAR> buffer(needed / 2, 0x7777);
    target = UNICODE_STRING{0, (USHORT)needed, buffer.data()};
    EXPECT_EQ(STATUS_SUCCESS, ZwQuerySymbolicLinkObject(link, &target, &needed));
    EXPECT_EQ(device, Text(&target));
    EXPECT_EQ(0, buffer.back());
    target = UNICODE_STRING{0, (USHORT)(device.size() * 2), buffer.data()};
    EXPECT_EQ(STATUS_SUCCESS, ZwQuerySymbolicLinkObject(link, &target, nullptr)) << "without ReturnedLength no NUL is needed";
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(link));

    Wide missing(u"\\??\\Q:");
    InitializeObjectAttributes(&attributes, missing.get(), OBJ_KERNEL_HANDLE, NULL, NULL);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, ZwOpenSymbolicLinkObject(&link, GENERIC_READ, &attributes));
    EXPECT_EQ(nullptr, link);
}

TEST_F(FilesTest, VolumeDosNameIsTheDriveLetterInPoolTheCallerFrees)
{
    HANDLE root = OpenDirectory(u"\\Device\\HarddiskVolume3\\");
    PVOID object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(root, 0, *IoFileObjectType, KernelMode, &object, nullptr));
    auto* file = static_cast<PFILE_OBJECT>(object);
    ASSERT_NE(nullptr, file->Vpb);
    UNICODE_STRING dos{0, 0, nullptr};
    ASSERT_EQ(STATUS_SUCCESS, IoVolumeDeviceToDosName(file->Vpb->RealDevice, &dos));
    EXPECT_EQ(u"C:", Text(&dos));
    EXPECT_EQ(0, dos.Buffer[2]);
    ExFreePool(dos.Buffer);
    EXPECT_EQ(u"\\", Text(&file->FileName));
    ObDereferenceObject(object);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(root));
}

}  // namespace
