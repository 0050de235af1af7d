// File and process name utilities on the simulated volume: DOS to device paths, short-name
// expansion and its cache, file-name parts, image names of processes, WOW64.
#include "tests/process/process_fixture.h"

#include "sim/executive/pool.h"

namespace {

using vextest::Text;
using vextest::Utf8;
using vextest::Wide;

class NameUtilsTest : public vextest::ProcessDriverTest {
protected:
    ULONG CachedPaths()
    {
        ULONG count = 0;
        EXPECT_EQ(STATUS_SUCCESS, CTGetElementCount(&g_VexRegFilterData.ProcessCache, &count));
        return count;
    }

    NTSTATUS LongPath(const std::u16string& path, std::u16string* result)
    {
        Wide text(path);
        UNICODE_STRING longPath;
        NTSTATUS status = KernelGetLongPathName(text.get(), &longPath);
        if (NT_SUCCESS(status)) {
            *result = Text(&longPath);
            EXPECT_GT(longPath.MaximumLength, longPath.Length) << "room for the NUL";
            EXPECT_EQ(0, longPath.Buffer[longPath.Length / 2]) << "callers read it NUL-terminated";
            FreeOwnedString(&longPath);
        } else {
            EXPECT_EQ(nullptr, longPath.Buffer);
        }
        return status;
    }
};

TEST_F(NameUtilsTest, DosNamesBecomeDevicePathsThroughTheDriveLink)
{
    struct Case {
        const char16_t* dos;
        NTSTATUS status;
        const char16_t* nt;
    } cases[] = {
        {u"C:\\Windows\\notepad.exe", STATUS_SUCCESS, u"\\Device\\HarddiskVolume3\\Windows\\notepad.exe"},
        {u"c:\\", STATUS_SUCCESS, u"\\Device\\HarddiskVolume3\\"},
        {u"C:", STATUS_INVALID_PARAMETER, u""},                                   // no backslash
        {u"\\\\server\\share\\a.exe", STATUS_INVALID_PARAMETER, u""},             // UNC
        {u"Q:\\a.exe", STATUS_OBJECT_NAME_NOT_FOUND, u""},                          // no such drive
    };
    for (const Case& c : cases) {
        Wide dos(c.dos);
        UNICODE_STRING nt;
        EXPECT_EQ(c.status, GetNtNameFromDosName(dos.get(), &nt)) << Utf8(c.dos);
        EXPECT_EQ(c.nt, Text(&nt)) << Utf8(c.dos);
        FreeOwnedString(&nt);
    }
}

TEST_F(NameUtilsTest, ShortComponentsExpandAndTheResultIsCached)
{
    std::u16string result;
    ASSERT_EQ(STATUS_SUCCESS, LongPath(u"C:\\Program Files\\VENDOR~1\\suite.exe", &result)) << "second directory short";
    EXPECT_EQ(u"C:\\Program Files\\Vendor Suite\\suite.exe", result);
    EXPECT_EQ(1u, CachedPaths());

    // Listing is refused now, so only the cache can still answer.
    ASSERT_EQ(STATUS_SUCCESS, vexsim::DenyDirectoryListing(u"C:\\Program Files", true));
    ASSERT_EQ(STATUS_SUCCESS, LongPath(u"C:\\Program Files\\VENDOR~1\\suite.exe", &result));
    EXPECT_EQ(u"C:\\Program Files\\Vendor Suite\\suite.exe", result);
    ASSERT_EQ(STATUS_SUCCESS, LongPath(u"C:\\PROGRA~1\\VENDOR~1\\helper.exe", &result));
    EXPECT_EQ(u"C:\\Program Files\\VENDOR~1\\helper.exe", result) << "an unlistable directory keeps the component";
}

TEST_F(NameUtilsTest, PathsWithoutATildeOrOfUnknownFormStayAsTheyAre)
{
    struct Case {
        const char16_t* path;
        const char16_t* expected;
        ULONG cached;
    } cases[] = {
        {u"C:\\Program Files\\Vendor Suite\\suite.exe", u"C:\\Program Files\\Vendor Suite\\suite.exe", 0},  // no tilde
        {u"relative\\VENDOR~1", u"relative\\VENDOR~1", 0},                                                  // neither form
        {u"C:\\NOWHER~1\\PROGRA~1", u"C:\\NOWHER~1\\PROGRA~1", 1},                                          // missing stays
        {u"C:\\NOWHER~1\\..\\PROGRA~1\\x", u"C:\\NOWHER~1\\..\\PROGRA~1\\x", 2},
        {u"C:\\Missing\\PROGRA~1", u"C:\\Missing\\PROGRA~1", 3},
        {u"\\Device\\HarddiskVolume3\\PROGRA~2\\", u"\\Device\\HarddiskVolume3\\Program Files (x86)\\", 4},
        {u"C:\\PROGRA~1\\NOWHER~1\\VENDOR~1", u"C:\\Program Files\\NOWHER~1\\VENDOR~1", 5},
    };
    for (const Case& c : cases) {
        std::u16string result;
        ASSERT_EQ(STATUS_SUCCESS, LongPath(c.path, &result)) << Utf8(c.path);
        EXPECT_EQ(c.expected, result) << Utf8(c.path);
        EXPECT_EQ(c.cached, CachedPaths()) << Utf8(c.path);
    }
    UNICODE_STRING empty{0, 0, nullptr};
    UNICODE_STRING out;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, KernelGetLongPathName(&empty, &out));
}

TEST_F(NameUtilsTest, AnExpansionLongerThanItsBufferFailsInsteadOfOverrunning)
{
    // Each "A~1" stays (nothing by that name) but one component expands to a long name.
    std::u16string longName(200, u'x');
    ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateDirectoryPath(u"C:\\" + longName));
    std::u16string path = u"C:\\" + vexsim::ShortPathOf(u"C:\\" + longName).substr(3);
    std::u16string fits = path;
    while (fits.size() * 2 < 32766 - 400) {
        fits += u"\\A~1";
    }
    std::u16string result;
    ASSERT_EQ(STATUS_SUCCESS, LongPath(fits, &result));
    EXPECT_EQ(u"C:\\" + longName, result.substr(0, 203));
    std::u16string overflow = fits;
    while (overflow.size() * 2 < 32766) {
        overflow += u"\\A~1";
    }
    EXPECT_EQ(STATUS_NAME_TOO_LONG, LongPath(overflow, &result));
}

TEST_F(NameUtilsTest, APathCopiedUnchangedKeepsRoomForItsNulOrIsRefused)
{
    struct Case {
        size_t characters;
        NTSTATUS expected;
    } cases[] = {
        {32766, STATUS_SUCCESS},        // 0xFFFC bytes: text and NUL fill a counted string exactly
        {32767, STATUS_NAME_TOO_LONG},  // 0xFFFE bytes: no room is left for the NUL
    };
    for (const Case& c : cases) {
        std::u16string path = u"C:\\" + std::u16string(c.characters - 3, u'x');  // no tilde
        std::u16string result;
        EXPECT_EQ(c.expected, LongPath(path, &result)) << c.characters << " characters";
        if (c.expected == STATUS_SUCCESS) {
            EXPECT_EQ(path, result) << c.characters << " characters";
        }
    }
    EXPECT_EQ(0u, CachedPaths());
}

TEST_F(NameUtilsTest, FileNamePartStartsAfterTheLastBackslashFollowedByACharacter)
{
    struct Case {
        const char16_t* path;
        const char16_t* part;
    } cases[] = {
        {u"C:\\dir\\app.exe", u"app.exe"},
        {u"C:\\dir\\", u"dir\\"},  // a trailing backslash starts no name
        {u"dir\\", u"dir\\"},      // the only backslash is the last character
        {u"app.exe", u"app.exe"},
        {u"", u""},
    };
    for (const Case& c : cases) {
        Wide path(c.path);
        UNICODE_STRING view;
        UNICODE_STRING copy;
        ASSERT_EQ(STATUS_SUCCESS, GetFileNamePart(&view, path.get()));
        ASSERT_EQ(STATUS_SUCCESS, GetFileNameFromFullPath(&copy, path.get()));
        EXPECT_EQ(c.part, Text(&view)) << Utf8(c.path);
        EXPECT_EQ(c.part, Text(&copy)) << Utf8(c.path);
        EXPECT_EQ(copy.Length, copy.MaximumLength);
        FreeOwnedString(&copy);
    }
    UNICODE_STRING none{0, 0, nullptr};
    UNICODE_STRING out;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, GetFileNamePart(&out, &none));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, GetFileNameFromFullPath(&out, &none));
    EXPECT_FALSE(ContainsTilde(&none));
}

TEST_F(NameUtilsTest, ImageNamesOfRunningProcessesAreDevicePathsAsStarted)
{
    PEPROCESS suite = Start(u"C:\\PROGRA~1\\VENDOR~1\\suite.exe");
    PUNICODE_STRING image = nullptr;
    PEPROCESS process = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, GetProcessImageNameFromProcessId(Pid(suite), &image, &process));
    EXPECT_EQ(suite, process);
    EXPECT_EQ(u"\\Device\\HarddiskVolume3\\PROGRA~1\\VENDOR~1\\suite.exe", Text(image));
    ExFreePoolWithTag(image, VEXR_TAG);
    ObDereferenceObject(process);

    ASSERT_EQ(STATUS_SUCCESS, GetFileNameFromProcessID(Pid(suite), &image));
    ExFreePoolWithTag(image, VEXR_TAG);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, GetFileNameFromProcessID(nullptr, &image));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, GetFileNameFromProcessID((HANDLE)0x7FF0, &image));
    EXPECT_EQ(STATUS_INVALID_CID, GetProcessImageNameFromProcessId((HANDLE)0x7FF0, &image, &process));
    EXPECT_EQ(nullptr, process);
}

TEST_F(NameUtilsTest, Wow64IsTrueOnlyForA32BitProcess)
{
    PEPROCESS native = Start(u"C:\\Windows\\System32\\notepad.exe");
    PEPROCESS wow = Start(u"C:\\Windows\\SysWOW64\\notepad.exe");
    EXPECT_FALSE(IsProcessWow64(native));
    EXPECT_TRUE(IsProcessWow64(wow));
}

// What a create-process notify routine sees through GetFileNameFromCreateInfo.
std::u16string g_dosName;
NTSTATUS g_dosStatus;

VOID NTAPI CaptureDosName(PEPROCESS, HANDLE, PPS_CREATE_NOTIFY_INFO CreateInfo)
{
    if (CreateInfo != nullptr) {
        UNICODE_STRING dos;
        g_dosStatus = GetFileNameFromCreateInfo(CreateInfo, &dos);
        g_dosName = Text(&dos);
        FreeOwnedString(&dos);
    }
}

TEST_F(NameUtilsTest, CreationInfoGivesDosPathsForLocalAndNetworkImages)
{
    ASSERT_EQ(STATUS_SUCCESS, vexsim::AddNetworkShare(u"fileserver", u"tools"));
    ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(u"\\\\fileserver\\tools\\tool.exe"));
    ASSERT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(CaptureDosName, FALSE));
    struct Case {
        const char16_t* started;
        const char16_t* dos;
    } cases[] = {
        {u"C:\\PROGRA~1\\VENDOR~1\\suite.exe", u"C:\\PROGRA~1\\VENDOR~1\\suite.exe"},
        {u"\\Device\\HarddiskVolume3\\Windows\\explorer.exe", u"C:\\Windows\\explorer.exe"},
        {u"\\\\fileserver\\tools\\tool.exe", u"\\\\fileserver\\tools\\tool.exe"},
    };
    for (const Case& c : cases) {
        g_dosName.clear();
        Start(c.started);
        EXPECT_EQ(STATUS_SUCCESS, g_dosStatus) << Utf8(c.started);
        EXPECT_EQ(c.dos, g_dosName) << Utf8(c.started);
    }
    EXPECT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(CaptureDosName, TRUE));
}

}  // namespace
