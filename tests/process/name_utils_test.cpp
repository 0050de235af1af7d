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

TEST_F(NameUtilsTest, ComponentsThatNameNothingStayAsTheyAre)
{
    // Folders holding a file whose name is already 8.3, so it has no short name of its own.
    ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(u"C:\\Program Files (x86)\\app.exe"));
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
        {u"\\Device\\HarddiskVolume3\\PROGRA~2\\", u"\\Device\\HarddiskVolume3\\Program Files (x86)\\", 4},  // trailing
        {u"C:\\Windows\\\\PROGRA~1", u"C:\\Windows\\\\PROGRA~1", 5},                                      // empty component
        {u"C:\\PROGRA~1\\NOWHER~1\\VENDOR~1", u"C:\\Program Files\\NOWHER~1\\VENDOR~1", 6},
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

TEST_F(NameUtilsTest, PathsExpandWhileTheyFitACountedStringAndOtherwiseStayAsGiven)
{
    // A head (a folder of 200 characters by its short name, or a folder that does not exist),
    // then components that name nothing, up to the length wanted.
    const std::u16string longName(200, u'x');
    ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateDirectoryPath(u"C:\\" + longName));
    const std::u16string shortHead = vexsim::ShortPathOf(u"C:\\" + longName);
    const size_t growth = longName.size() + 3 - shortHead.size();
    auto build = [](std::u16string path, size_t characters) {
        while (path.size() + 2 * 251 <= characters) {
            path += u"\\" + std::u16string(250, u'z');
        }
        return path + u"\\" + std::u16string(characters - path.size() - 1, u'z');
    };
    struct Case {
        size_t characters;
        const char16_t* head;  // null: the short folder
        NTSTATUS status;
        bool expanded;
    } cases[] = {
        {20000, nullptr, STATUS_SUCCESS, true},                     // past half the longest path
        {32766 - growth, nullptr, STATUS_SUCCESS, true},            // expands to 32,766 characters and a NUL
        {32767 - growth, nullptr, STATUS_SUCCESS, false},           // its long form would not fit: as given
        {32766, u"C:\\NOWHE~1", STATUS_SUCCESS, false},            // nothing to expand
        {32767, u"C:\\NOWHE~1", STATUS_NAME_TOO_LONG, false},      // no room for its own NUL
        {32766, u"C:\\NOWHERE", STATUS_SUCCESS, false},            // no tilde: copied
        {32767, u"C:\\NOWHERE", STATUS_NAME_TOO_LONG, false},
    };
    for (const Case& c : cases) {
        std::u16string path = build(c.head != nullptr ? c.head : shortHead, c.characters);
        ASSERT_EQ(c.characters, path.size());
        std::u16string result;
        EXPECT_EQ(c.status, LongPath(path, &result)) << c.characters;
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(c.expanded ? u"C:\\" + longName + path.substr(shortHead.size()) : path, result) << c.characters;
        }
    }
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
        if (dos.MaximumLength <= dos.Length || dos.Buffer[dos.Length / sizeof(WCHAR)] != 0) {
            g_dosName += u"<not NUL-terminated>";
        }
        FreeOwnedString(&dos);
    }
}

TEST_F(NameUtilsTest, CreationInfoGivesDosPathsForLocalAndNetworkImages)
{
    ASSERT_EQ(STATUS_SUCCESS, vexsim::AddNetworkShare(u"fileserver", u"tools"));
    ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(u"\\\\fileserver\\tools\\tool.exe"));
    ASSERT_EQ(STATUS_SUCCESS, vexsim::MountVolume(5, 0));  // no drive letter
    ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(u"\\Device\\HarddiskVolume5\\tools\\app.exe"));
    ASSERT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(CaptureDosName, FALSE));
    struct Case {
        const char16_t* started;
        const char16_t* dos;
    } cases[] = {
        {u"C:\\PROGRA~1\\VENDOR~1\\suite.exe", u"C:\\PROGRA~1\\VENDOR~1\\suite.exe"},
        {u"\\Device\\HarddiskVolume3\\Windows\\explorer.exe", u"C:\\Windows\\explorer.exe"},
        {u"\\\\fileserver\\tools\\tool.exe", u"\\\\fileserver\\tools\\tool.exe"},
        // No DOS name for the volume: the name the image was opened by stands in.
        {u"\\Device\\HarddiskVolume5\\tools\\app.exe", u"\\Device\\HarddiskVolume5\\tools\\app.exe"},
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
