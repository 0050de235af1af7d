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
            EXPECT_TRUE(longPath.Buffer == nullptr && longPath.Length == 0 && longPath.MaximumLength == 0);
        }
        return status;
    }

    // A counted view of the first characters of text, whose buffer goes on after them.
    static UNICODE_STRING Prefix(const std::u16string& text, size_t characters)
    {
        return UNICODE_STRING{(USHORT)(characters * sizeof(WCHAR)), (USHORT)(text.size() * sizeof(WCHAR)), (PWSTR)text.data()};
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
        {u"C:x\\a.exe", STATUS_INVALID_PARAMETER, u""},                            // no backslash after the colon
        {u"ab\\c.exe", STATUS_INVALID_PARAMETER, u""},                             // no colon
    };
    for (const Case& c : cases) {
        Wide dos(c.dos);
        UNICODE_STRING nt;
        EXPECT_EQ(c.status, GetNtNameFromDosName(dos.get(), &nt)) << Utf8(c.dos);
        EXPECT_EQ(c.nt, Text(&nt)) << Utf8(c.dos);
        EXPECT_EQ(NT_SUCCESS(c.status) ? nt.Length : 0, nt.MaximumLength) << Utf8(c.dos);
        EXPECT_EQ(Text(&nt).size() * sizeof(WCHAR), nt.Length) << Utf8(c.dos);
        FreeOwnedString(&nt);
    }
    // "\Device\HarddiskVolume3" has 23 characters, and the device path at most 32,767.
    for (size_t characters : {32746u, 32747u}) {
        std::u16string dos = u"C:\\" + std::u16string(characters - 3, u'x');
        UNICODE_STRING nt;
        EXPECT_EQ(characters == 32746 ? STATUS_SUCCESS : STATUS_NAME_TOO_LONG, GetNtNameFromDosName(Wide(dos).get(), &nt));
        FreeOwnedString(&nt);
    }
    const std::u16string drive = u"C:\\x";
    UNICODE_STRING bare = Prefix(drive, 2);  // "C:", with the backslash only beyond its length
    UNICODE_STRING nt;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, GetNtNameFromDosName(&bare, &nt));
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
        {u"C:\\PROGRA~1\\Vendor*", u"C:\\Program Files\\Vendor*", 7},  // a pattern is no name
    };
    for (const Case& c : cases) {
        std::u16string result;
        ASSERT_EQ(STATUS_SUCCESS, LongPath(c.path, &result)) << Utf8(c.path);
        EXPECT_EQ(c.expected, result) << Utf8(c.path);
        EXPECT_EQ(c.cached, CachedPaths()) << Utf8(c.path);
    }
    const std::u16string trailing = u"C:\\PROGRA~2\\";
    UNICODE_STRING counted = Prefix(trailing, trailing.size() - 1);
    UNICODE_STRING out;
    ASSERT_EQ(STATUS_SUCCESS, KernelGetLongPathName(&counted, &out));
    EXPECT_EQ(u"C:\\Program Files (x86)", Text(&out)) << "read up to its length only";
    FreeOwnedString(&out);

    UNICODE_STRING invalid[] = {{0, 0, nullptr}, {4, 6, nullptr}, {0, 2, (PWSTR)trailing.data()}, {2, 0, (PWSTR)trailing.data()}};
    for (UNICODE_STRING& path : invalid) {
        EXPECT_EQ(STATUS_INVALID_PARAMETER, KernelGetLongPathName(&path, &out)) << path.Length << " " << path.MaximumLength;
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, KernelGetLongPathName(nullptr, &out));
}

TEST_F(NameUtilsTest, AnExpansionThatCannotAllocateFailsWithInsufficientResources)
{
    for (const char16_t* path : {u"C:\\PROGRA~1\\VENDOR~1\\suite.exe", u"C:\\Program Files\\x.exe"}) {
        vextest::ForEachAllocationFailure(
            [&] {
                std::u16string result;
                NTSTATUS status = LongPath(path, &result);
                EXPECT_EQ(STATUS_SUCCESS, CTDeleteAllElements(&g_VexRegFilterData.ProcessCache));
                return std::make_pair(status, result);
            },
            [&](std::pair<NTSTATUS, std::u16string> outcome, int failing) {
                // Only a failed insert into the cache goes unnoticed.
                if (outcome.first == STATUS_SUCCESS) {
                    EXPECT_EQ(u"C:\\Program Files\\Vendor Suite\\suite.exe", outcome.second) << failing;
                } else {
                    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, outcome.first) << failing;
                }
            });
    }
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
    // The deepest folder that can still be opened: "\\??\\" and its name with the backslash fill a
    // counted string; a file in it is found by its name and written as the folder lists it.
    std::u16string folder = u"C:\\a~b";  // a tilde, so the path is expanded
    while (folder.size() + 251 < 32762) {
        folder += u"\\" + std::u16string(250, u'f');
    }
    folder += u"\\" + std::u16string(32762 - folder.size() - 1, u'g');
    ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(folder + u"\\a"));
    std::u16string deepest;
    ASSERT_EQ(STATUS_SUCCESS, LongPath(folder + u"\\A", &deepest));
    EXPECT_EQ(folder + u"\\a", deepest);

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
        {u"\\app.exe", u"app.exe"},  // the first character is a backslash
        {u"C:\\dir\\a", u"a"},       // one character after the last backslash
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
    UNICODE_STRING none{4, 4, nullptr};
    UNICODE_STRING out{1, 1, (PWSTR)u"x"};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, GetFileNamePart(&out, &none));
    EXPECT_TRUE(out.Buffer == nullptr && out.Length == 0 && out.MaximumLength == 0);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, GetFileNameFromFullPath(&out, &none));
    Wide path(u"C:\\dir\\app.exe");
    vexsim::FailNthAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, GetFileNameFromFullPath(&out, path.get()));
    vexsim::ClearAllocationFailures();
    EXPECT_TRUE(out.Buffer == nullptr && out.Length == 0 && out.MaximumLength == 0);
}

TEST_F(NameUtilsTest, ATildeCountsOnlyWithinTheCountedLength)
{
    const std::u16string text = u"a~b";
    const std::u16string tail = text.substr(1);
    struct Case {
        UNICODE_STRING path;
        bool tilde;
    } cases[] = {
        {Prefix(text, 3), true},
        {Prefix(tail, 1), true},  // the first character
        {Prefix(text, 1), false},           // the tilde lies beyond the length
        {{4, 4, nullptr}, false},
    };
    for (Case& c : cases) {
        EXPECT_EQ(c.tilde, ContainsTilde(&c.path) != FALSE) << c.path.Length;
    }
    EXPECT_FALSE(ContainsTilde(nullptr));
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
    EXPECT_TRUE(vextest::HasDebugLine("PsLookupProcessByProcessId Failed: 0xC000000BL, ProcessId = 32752"));

    // The image-name query that cannot allocate says so.
    vexsim::ClearDebugOutput();
    vexsim::FailNthAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, GetFileNameFromProcessID(Pid(suite), &image));
    vexsim::ClearAllocationFailures();
    EXPECT_TRUE(vextest::HasDebugLine("VexRegFilter.sys: QueryInformationProcess Failed: c000009a"));

    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    NTSTATUS status = GetProcessImageNameFromProcessId(Pid(suite), &image, &process);
    KeLowerIrql(irql);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, status) << "not at DISPATCH_LEVEL";
}

TEST_F(NameUtilsTest, Wow64IsTrueOnlyForA32BitProcess)
{
    PEPROCESS native = Start(u"C:\\Windows\\System32\\notepad.exe");
    PEPROCESS wow = Start(u"C:\\Windows\\SysWOW64\\notepad.exe");
    EXPECT_FALSE(IsProcessWow64(native));
    EXPECT_TRUE(IsProcessWow64(wow));
    EXPECT_FALSE(IsProcessWow64((PEPROCESS)PsGetCurrentThread())) << "what cannot be opened as a process";
}

TEST_F(NameUtilsTest, CreationInfoWithoutAVolumeGivesTheImageFileNameAsOpened)
{
    Wide plain(u"\\??\\C:\\a.exe");
    Wide unc(u"\\??\\UNC\\server\\share\\a.exe");  // a network name needs the file object's name
    const std::u16string longest = u"\\??\\C:\\" + std::u16string(32766 - 7, u'x');  // 0xFFFE bytes with the NUL
    Wide fits(longest);
    Wide tooLong(longest + u"x");
    UNICODE_STRING noBuffer{4, 4, nullptr};
    struct Case {
        PCUNICODE_STRING image;
        NTSTATUS status;
        const char16_t* dos;
    } cases[] = {
        {plain.get(), STATUS_SUCCESS, u"\\??\\C:\\a.exe"},
        {unc.get(), STATUS_SUCCESS, u"\\??\\UNC\\server\\share\\a.exe"},
        {nullptr, STATUS_INVALID_PARAMETER, u""},
        {&noBuffer, STATUS_INVALID_PARAMETER, u""},
        {fits.get(), STATUS_SUCCESS, longest.c_str()},
        {tooLong.get(), STATUS_NAME_TOO_LONG, u""},  // no room for the NUL
    };
    for (ULONG64 failing : {0, 1}) {
        for (const Case& c : cases) {
            PS_CREATE_NOTIFY_INFO info{};
            info.Size = sizeof(info);
            info.ImageFileName = c.image;
            UNICODE_STRING dos{2, 2, (PWSTR)u"x"};
            vexsim::FailNthAllocation(failing);
            NTSTATUS status = GetFileNameFromCreateInfo(&info, &dos);
            vexsim::ClearAllocationFailures();
            bool fails = failing != 0 && NT_SUCCESS(c.status);
            EXPECT_EQ(fails ? STATUS_INSUFFICIENT_RESOURCES : c.status, status) << c.image;
            EXPECT_EQ(fails ? u"" : c.dos, Text(&dos)) << c.image;
            EXPECT_EQ(NT_SUCCESS(status) ? dos.Length + sizeof(WCHAR) : 0u, dos.MaximumLength) << c.image;
            EXPECT_EQ(Text(&dos).size() * sizeof(WCHAR), dos.Length) << c.image;
            FreeOwnedString(&dos);
        }
    }
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
