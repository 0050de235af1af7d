// Filling copies from real keys: values and subkey stubs of one level, the last-write time, the
// security descriptor, whole trees, and one value written into a new path.
#include "cow/cow.h"

#include "names/url_allowlist.h"
#include "sim/executive/clock.h"
#include "sim/se/security.h"
#include "tests/cow/cow_fixture.h"

#include <functional>

namespace {

using namespace vextest;

const std::u16string kReal = kSoftware + u"\\App\\Key";
const std::u16string kCopy = R + u"\\MACHINE\\SOFTWARE\\App\\Key";

TestValue Text16(std::u16string name, const std::u16string& text)
{
    return {std::move(name), REG_SZ, std::vector<UCHAR>((const UCHAR*)text.data(), (const UCHAR*)(text.data() + text.size()))};
}

class CopyTest : public CowTest {
protected:
    void SetUp() override
    {
        CowTest::SetUp();
        Make(kReal, {Text16(u"A", u"alpha"), Dword(u"B", 2)});
        Make(kReal + u"\\X");
        Make(kReal + u"\\Y", {Dword(u"OwnOfY", 9)});
        Make(kCopy);
    }
    void TearDown() override
    {
        UAPFinalize();
        CowTest::TearDown();
    }

    // CopySubkeyValue as the redirect tree calls it: the real key for reading, the copy with full
    // access, and the copy's history hash.
    NTSTATUS CopyOneLevel(const std::u16string& real, const std::u16string& copy)
    {
        Wide realName(real), copyName(copy);
        HANDLE realKey, copyKey;
        EXPECT_EQ(STATUS_SUCCESS, OpenPath(real, &realKey));
        EXPECT_EQ(STATUS_SUCCESS, OpenPath(copy, &copyKey));
        ULONG hash = 0;
        EXPECT_EQ(STATUS_SUCCESS, RegistryHistoryHash(copyName.get(), &hash));
        NTSTATUS status = CopySubkeyValue(realKey, copyKey, realName.get(), copyName.get(), &hash);
        (void)ZwClose(realKey);
        (void)ZwClose(copyKey);
        return status;
    }

    static std::vector<UCHAR> SecurityOf(const std::u16string& name, SECURITY_INFORMATION information)
    {
        HANDLE key;
        EXPECT_EQ(STATUS_SUCCESS, OpenPath(name, &key)) << Utf8(name);
        std::vector<UCHAR> descriptor(1024);
        ULONG length = 0;
        EXPECT_EQ(STATUS_SUCCESS, ZwQuerySecurityObject(key, information, descriptor.data(), (ULONG)descriptor.size(), &length));
        descriptor.resize(length);
        (void)ZwClose(key);
        return descriptor;
    }
    static void SetSecurity(const std::u16string& name, vexsim::SecurityDescriptorBytes descriptor)
    {
        HANDLE key;
        ASSERT_EQ(STATUS_SUCCESS, OpenPath(name, &key));
        EXPECT_EQ(STATUS_SUCCESS, ZwSetSecurityObject(key, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                               DACL_SECURITY_INFORMATION, descriptor.data()));
        (void)ZwClose(key);
    }
    static LONGLONG WriteTimeOf(const std::u16string& name)
    {
        HANDLE key;
        EXPECT_EQ(STATUS_SUCCESS, OpenPath(name, &key));
        KEY_BASIC_INFORMATION basic[8];
        ULONG length = 0;
        EXPECT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyBasicInformation, basic, sizeof(basic), &length));
        (void)ZwClose(key);
        return basic[0].LastWriteTime.QuadPart;
    }

};

TEST_F(CopyTest, FirstCopyTakesValuesAndStubsOfOneLevel)
{
    ASSERT_EQ(STATUS_SUCCESS, CopyOneLevel(kReal, kCopy));
    EXPECT_EQ(ValuesOf(kReal), ValuesOf(kCopy));
    EXPECT_EQ((std::vector<std::u16string>{u"X", u"Y"}), SubkeysOf(kCopy));
    EXPECT_TRUE(ValuesOf(kCopy + u"\\Y").empty()) << "a stub is empty until it is used";
    EXPECT_TRUE(IsVolatile(kCopy + u"\\X"));
    EXPECT_TRUE(InHistory(g_VexRegFilterData.CopySubkeyHistory, kCopy));
    EXPECT_TRUE(InHistory(g_VexRegFilterData.DifferenceHistory, kCopy));
    EXPECT_FALSE(InHistory(g_VexRegFilterData.CopyKeyHistory, kCopy)) << "the redirect tree records that";
}

TEST_F(CopyTest, TheCopyWinsAndPreparedOrExcludedKeysAndValuesStayBehind)
{
    const std::u16string rows[] = {u"sandbox value", u"excluded value", u"prepared subkey", u"allowlist key"};
    for (const std::u16string& row : rows) {
        SCOPED_TRACE(Utf8(row));
        std::u16string real = kReal, copy = kCopy;
        std::vector<TestValue> expectedValues = ValuesOf(kReal);
        std::vector<std::u16string> expectedSubkeys = {u"X", u"Y"};
        if (row == u"sandbox value") {
            Make(kCopy, {Dword(u"A", 77)});
            expectedValues = {Dword(u"A", 77), Dword(u"B", 2)};
        } else if (row == u"excluded value") {
            Wide excluded(kReal + u"\\A");
            ASSERT_EQ(STATUS_SUCCESS, InsertExcludeValue(excluded.get()));
            expectedValues = {Dword(u"B", 2)};
        } else if (row == u"prepared subkey") {
            // The sandbox deleted the copy of Y after preparing it: no stub brings it back.
            Wide prepared(kCopy + u"\\Y");
            ASSERT_EQ(STATUS_SUCCESS, InsertRegistryHistory(&g_VexRegFilterData.CopyKeyHistory, prepared.get(), nullptr, FALSE));
            expectedSubkeys = {u"X"};
        } else {
            ASSERT_EQ(STATUS_SUCCESS, UAPInitialize());
            real = u"\\REGISTRY\\MACHINE\\Software\\Policies\\Microsoft\\Edge\\URLAllowlist";
            copy = R + u"\\MACHINE\\Software\\Policies\\Microsoft\\Edge\\URLAllowlist";
            Make(real, {Text16(u"1", u"https://a"), Text16(u"2", u"https://b"), Text16(u"3", u"https://c")});
            Make(real + u"\\X");
            Make(real + u"\\Y");
            Make(copy);
            expectedValues = {Text16(u"1", u"https://a"), Text16(u"2", u"https://b")};
        }
        ASSERT_EQ(STATUS_SUCCESS, CopyOneLevel(real, copy));
        EXPECT_EQ(expectedValues, ValuesOf(copy));
        EXPECT_EQ(expectedSubkeys, SubkeysOf(copy));
        EXPECT_TRUE(InHistory(g_VexRegFilterData.DifferenceHistory, copy));

        // Start over for the next row.
        ResetExcludeValue();
        UAPFinalize();
        CTFinalize(&g_VexRegFilterData.CopyKeyHistory);
        CTFinalize(&g_VexRegFilterData.DifferenceHistory);
        DeleteTree(copy);
        Make(copy);
    }
}

// The stubs alone make nothing where there is nothing to copy from: the same key on both sides, a
// hidden real key, a real key that does not exist, a real key without subkeys.
TEST_F(CopyTest, StubsAloneNeedARealKeyToCopyFrom)
{
    Wide real(kReal), copy(kCopy), missing(kSoftware + u"\\Missing"), leaf(kReal + u"\\X");
    const struct {
        const char* what;
        PUNICODE_STRING original;
        PUNICODE_STRING redirect;
        bool hidden;
        NTSTATUS expected;
    } rows[] = {
        {"no real name", nullptr, copy.get(), false, STATUS_INVALID_PARAMETER},
        {"no copy name", real.get(), nullptr, false, STATUS_INVALID_PARAMETER},
        {"the real key itself", real.get(), real.get(), false, STATUS_SUCCESS},
        {"a hidden real key", real.get(), copy.get(), true, STATUS_SUCCESS},
        {"a missing real key", missing.get(), copy.get(), false, STATUS_SUCCESS},
        {"a real key without subkeys", leaf.get(), copy.get(), false, STATUS_SUCCESS},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.hidden) {
            ASSERT_EQ(STATUS_SUCCESS, InsertExcludeKey(real.get()));
        }
        StartCounting();
        EXPECT_EQ(row.expected, CopySubkey(row.original, row.redirect));
        EXPECT_EQ(0, creates.load());
        EXPECT_TRUE(SubkeysOf(kCopy).empty());
        ResetExcludeKey();
    }
    // A copy named with a trailing separator gets the same stubs.
    Wide copyWithSeparator(kCopy + u"\\");
    EXPECT_EQ(STATUS_SUCCESS, CopySubkey(real.get(), copyWithSeparator.get()));
    EXPECT_EQ((std::vector<std::u16string>{u"X", u"Y"}), SubkeysOf(kCopy));
}

// Between the key's counts and its enumeration a subkey can get a name longer than every name the
// counts announced: the walk stops before the buffers would overflow, and the copy is not recorded
// as holding all stubs, so the next enumeration makes them.
TEST_F(CopyTest, ASubkeyNamedLongerAfterTheCountsEndsTheStubsCleanly)
{
    const std::u16string longName = u"A" + std::u16string(29, u'z');    // fits the entry, not the full name
    const std::u16string longerName = u"A" + std::u16string(60, u'z');  // fits neither
    auto rename = [](const std::u16string& to) {
        HANDLE key;
        ASSERT_EQ(STATUS_SUCCESS, OpenPath(kReal + u"\\Y", &key));
        Wide name(to);
        EXPECT_EQ(STATUS_SUCCESS, ZwRenameKey(key, name.get()));
        (void)ZwClose(key);
    };
    const struct {
        const char* what;
        std::function<void()> change;
        std::function<void()> undo;
    } rows[] = {
        {"added", [&] { Make(kReal + u"\\" + longName); }, [&] { DeleteTree(kReal + u"\\" + longName); }},
        {"added, longer than the entry", [&] { Make(kReal + u"\\" + longerName); },
         [&] { DeleteTree(kReal + u"\\" + longerName); }},
        {"renamed", [&] { rename(longName); },
         [&] {
             DeleteTree(kReal + u"\\" + longName);
             Make(kReal + u"\\Y", {Dword(u"OwnOfY", 9)});
         }},
    };
    Wide real(kReal), copy(kCopy);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        HookNext(RegNtPreEnumerateKey, row.change);
        ASSERT_EQ(STATUS_SUCCESS, CopyOneLevel(kReal, kCopy));
        EXPECT_FALSE(InHistory(g_VexRegFilterData.CopySubkeyHistory, kCopy));
        EXPECT_TRUE(InHistory(g_VexRegFilterData.DifferenceHistory, kCopy));
        EXPECT_EQ(ValuesOf(kReal), ValuesOf(kCopy)) << "the values are copied all the same";
        EXPECT_EQ(STATUS_SUCCESS, CopySubkey(real.get(), copy.get())) << "the next enumeration completes the stubs";
        EXPECT_EQ(SubkeysOf(kReal), SubkeysOf(kCopy));

        row.undo();
        DeleteTree(kCopy);
        Make(kCopy);
        HookNext(RegNtPreEnumerateKey, row.change);
        EXPECT_EQ(STATUS_BUFFER_OVERFLOW, CopySubkey(real.get(), copy.get()));
        row.undo();
        DeleteTree(kCopy);
        Make(kCopy);
        CTFinalize(&g_VexRegFilterData.CopySubkeyHistory);
    }
}

TEST_F(CopyTest, WriteTimeAndSecurityComeFromTheRealKey)
{
    SetSecurity(kReal, vexsim::UserHiveSecurity("S-1-5-21-7-7-7-1000"));
    vexsim::AdvanceSimulatedClock(10'000'000);
    Make(kCopy, {Dword(u"Touched", 1)});
    ASSERT_NE(WriteTimeOf(kReal), WriteTimeOf(kCopy));
    Wide real(kReal), copy(kCopy);

    EXPECT_EQ(STATUS_SUCCESS, CopyWriteTimeInfo(real.get(), copy.get()));
    EXPECT_EQ(WriteTimeOf(kReal), WriteTimeOf(kCopy));

    const SECURITY_INFORMATION copied = GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
    ASSERT_NE(SecurityOf(kReal, copied), SecurityOf(kCopy, copied));
    const std::vector<UCHAR> copyOwner = SecurityOf(kCopy, OWNER_SECURITY_INFORMATION);
    EXPECT_EQ(STATUS_SUCCESS, CopySecurityObject(real.get(), copy.get()));
    EXPECT_EQ(SecurityOf(kReal, copied), SecurityOf(kCopy, copied));
    EXPECT_EQ(copyOwner, SecurityOf(kCopy, OWNER_SECURITY_INFORMATION)) << "the owner is not copied";

    // A missing key on either side fails with the open's status and names that key.
    Wide missing(kSoftware + u"\\Missing");
    const struct {
        PUNICODE_STRING source;
        PUNICODE_STRING target;
        std::string writeTimeLine;
        std::string securityLine;
    } rows[] = {
        {missing.get(), copy.get(), "VexRegFilter.sys: CopyWriteTimeInfo - ZwOpenKey failed  : " + Utf8(kSoftware) + "\\Missing",
         "VexRegFilter.sys: CopySecurityObject - Failed to OpenRegistryKey. status = c0000034 key = " + Utf8(kSoftware) + "\\Missing"},
        {real.get(), missing.get(), "VexRegFilter.sys: CopyWriteTimeInfo - ZwOpenKey failed  : " + Utf8(kSoftware) + "\\Missing",
         "VexRegFilter.sys: CopySecurityObject - Failed to OpenRegistryKey. status = c0000034 key = " + Utf8(kSoftware) + "\\Missing"},
    };
    for (const auto& row : rows) {
        ClearDebugOutput();
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, CopyWriteTimeInfo(row.source, row.target));
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, CopySecurityObject(row.source, row.target));
        EXPECT_EQ((std::vector<std::string>{row.writeTimeLine, row.securityLine}), vexsim::DebugOutput());
    }
}

}  // namespace
