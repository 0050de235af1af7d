// What the copy routines print on the kernel debugger: the exact line of each failure, with the
// status it returns, when a registry call fails (another filter refuses it) or the pool runs dry,
// and the detail and trace lines of a whole copy.
#include "cow/cow.h"

#include "names/url_allowlist.h"
#include "tests/cow/cow_fixture.h"

#include <algorithm>
#include <functional>

namespace {

using namespace vextest;

const std::u16string kReal = kSoftware + u"\\App\\Key";
const std::u16string kCopy = R + u"\\MACHINE\\SOFTWARE\\App\\Key";
const std::u16string kTreeCopy = R + u"\\MACHINE\\SOFTWARE\\App\\Tree";
const std::u16string kDataKey = R + u"\\MACHINE\\New\\Data";
const std::string kRealText = Utf8(kReal);
const std::string kCopyText = Utf8(kCopy);
const std::string kTreeCopyText = Utf8(kTreeCopy);

// A line in two pieces, as most lines of the driver are printed.
std::string P(const std::string& message) { return "VexRegFilter.sys: " + message; }

// The debugger's lines without those of the lists the copy consults (histories, exclusions): the
// lists print their own.
std::vector<std::string> CopyLines()
{
    static const char* const listLines[] = {"VexRegFilter.sys: RegistryHistoryExists", "VexRegFilter.sys: InsertRegistryHistory",
                                            "VexRegFilter.sys: IsThereExclude", "VexRegFilter - IsThereExclude"};
    std::vector<std::string> lines;
    for (const std::string& line : vexsim::DebugOutput()) {
        if (std::none_of(std::begin(listLines), std::end(listLines),
                         [&](const char* prefix) { return line.rfind(prefix, 0) == 0; })) {
            lines.push_back(line);
        }
    }
    return lines;
}

// The copy routines as their callers use them, on the real key and its copy.
enum class Routine { WriteTime, Security, Stubs, OneLevel, Tree, RegData, Exists, PreparedWalk };

const char* RoutineName(Routine routine)
{
    switch (routine) {
    case Routine::WriteTime: return "CopyWriteTimeInfo";
    case Routine::Security: return "CopySecurityObject";
    case Routine::Stubs: return "CopySubkey";
    case Routine::OneLevel: return "CopySubkeyValue";
    case Routine::Tree: return "CopyTreeAndSecurity";
    case Routine::RegData: return "CreateRegData";
    case Routine::Exists: return "IsExistKey";
    case Routine::PreparedWalk: return "EnumPreparedKey";
    }
    return "?";
}

class CopyLinesTest : public CowTest {
protected:
    void SetUp() override
    {
        CowTest::SetUp();
        MakeKeys();
    }
    void TearDown() override
    {
        g_VexRegFilterData.DebugLogFlags = 0;
        UAPFinalize();
        CowTest::TearDown();
    }

    // The real key: values A and B, subkeys X and Y; its copy exists and is empty.
    static void MakeKeys()
    {
        Make(kReal, {Dword(u"A", 1), Dword(u"B", 2)});
        Make(kReal + u"\\X");
        Make(kReal + u"\\Y");
        Make(kCopy);
    }
    // Back to the state of SetUp: no copy but the empty one, no history, nothing excluded.
    static void StartOver()
    {
        g_VexRegFilterData.DebugLogFlags = 0;
        failCountdown = 0;
        vexsim::ClearAllocationFailures();
        for (const std::u16string& name : {kCopy, kTreeCopy, R + u"\\MACHINE\\New"}) {
            if (Exists(name)) {
                DeleteTree(name);
            }
        }
        Make(kCopy);
        ResetExcludeValue();
        ResetExcludeKey();
        CTFinalize(&g_VexRegFilterData.CopyKeyHistory);
        CTFinalize(&g_VexRegFilterData.CopySubkeyHistory);
        CTFinalize(&g_VexRegFilterData.DifferenceHistory);
        ClearDebugOutput();
    }

    // The routine on realName and copyName (the tree and the new value go to their own places).
    static NTSTATUS Run(Routine routine, const std::u16string& realName = kReal, const std::u16string& copyName = kCopy)
    {
        Wide real(realName), copy(copyName), tree(kTreeCopy), value(u"V");
        // The new value's key is named by the first part of a longer text: only its length counts.
        Wide data(kDataKey + u"\\Below");
        data.get()->Length = (USHORT)(kDataKey.size() * sizeof(WCHAR));
        ENUM_PREPARED_KEY_WORK work = {};
        ULONG one = 1;
        switch (routine) {
        case Routine::WriteTime: return CopyWriteTimeInfo(real.get(), copy.get());
        case Routine::Security: return CopySecurityObject(real.get(), copy.get());
        case Routine::Stubs: return CopySubkey(real.get(), copy.get());
        case Routine::Tree: return CopyTreeAndSecurity(real.get(), tree.get());
        case Routine::RegData: return CreateRegData(data.get(), value.get(), REG_DWORD, &one, sizeof(one));
        case Routine::Exists: return IsExistKey(real.get()) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
        case Routine::PreparedWalk: return EnumPreparedKey(&work, real.get(), 1);
        case Routine::OneLevel: break;
        }
        HANDLE realKey = nullptr, copyKey = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, OpenPath(realName, &realKey));
        EXPECT_EQ(STATUS_SUCCESS, OpenPath(copyName, &copyKey));
        ULONG hash = 0;
        EXPECT_EQ(STATUS_SUCCESS, RegistryHistoryHash(copy.get(), &hash));
        NTSTATUS status = CopySubkeyValue(realKey, copyKey, real.get(), copy.get(), &hash);
        (void)ZwClose(realKey);
        (void)ZwClose(copyKey);
        return status;
    }
};

// One registry call of a copy fails: the routine prints the line of that call and returns what
// the table says (loops over subkeys and values go on after a failed create or write).
TEST_F(CopyLinesTest, AFailedRegistryCallPrintsItsLine)
{
    const std::string denied = "c0000022";
    const struct {
        Routine routine;
        REG_NOTIFY_CLASS failing;
        int nth;
        NTSTATUS failure;
        ULONG flags;
        NTSTATUS expected;
        std::vector<std::string> lines;
    } rows[] = {
        // The last-write time: the source's query, then the target's update.
        {Routine::WriteTime, RegNtPreQueryKey, 1, STATUS_ACCESS_DENIED, 0, STATUS_ACCESS_DENIED,
         {P("CopyWriteTimeInfo - ZwQueryKey failed  : " + kRealText)}},
        {Routine::WriteTime, RegNtPreSetInformationKey, 1, STATUS_ACCESS_DENIED, 0x8, STATUS_ACCESS_DENIED,
         {"VexRegFilter - CopyWriteTimeInfo() - enter", "VexRegFilter - CopyWriteTimeInfo() [SourceName] : " + kRealText,
          "VexRegFilter - CopyWriteTimeInfo() [TargetName] : " + kCopyText,
          "[DlExtFunc] ZwSetInformationKey failed : C0000022", P("CopyWriteTimeInfo - SetInformationKey failed  : " + kCopyText),
          "VexRegFilter - CopyWriteTimeInfo() - exit"}},
        // The security descriptor: the size query, a size query that reports no size, the query
        // itself, and the update of the copy.
        {Routine::Security, RegNtPreQueryKeySecurity, 1, STATUS_ACCESS_DENIED, 0, STATUS_ACCESS_DENIED,
         {P("CopySecurityObject - Failed to ZwQuerySecurityObject. status = " + denied + " key = " + kRealText)}},
        {Routine::Security, RegNtPreQueryKeySecurity, 1, STATUS_BUFFER_TOO_SMALL, 0, STATUS_BUFFER_TOO_SMALL,
         {P("CopySecurityObject - Failed to ZwQuerySecurityObject(Zero length). status = c0000023 key = " + kRealText)}},
        {Routine::Security, RegNtPreQueryKeySecurity, 2, STATUS_ACCESS_DENIED, 0, STATUS_ACCESS_DENIED,
         {P("CopySecurityObject - Failed to ZwQuerySecurityObject. status = " + denied + " key = " + kRealText)}},
        {Routine::Security, RegNtPreSetKeySecurity, 1, STATUS_ACCESS_DENIED, 0, STATUS_ACCESS_DENIED,
         {P("CopySecurityObject - Failed to ZwSetSecurityObject. status = " + denied + " key = " + kCopyText)}},
        // The counts every copy starts from: the size query fails, reports no size, or the query
        // itself fails. The stubs alone keep the size query's status.
        {Routine::Stubs, RegNtPreQueryKey, 1, STATUS_ACCESS_DENIED, 0, STATUS_ACCESS_DENIED,
         {P("CopySubkey - Failed to ZwQueryKey. status = " + denied)}},
        {Routine::Stubs, RegNtPreQueryKey, 1, STATUS_BUFFER_OVERFLOW, 0, STATUS_BUFFER_OVERFLOW,
         {P("CopySubkey - NecessaryLength = zero")}},
        {Routine::OneLevel, RegNtPreQueryKey, 2, STATUS_ACCESS_DENIED, 0, STATUS_ACCESS_DENIED,
         {P("CopySubkeyValue - Failed to ZwQueryKey. status = " + denied)}},
        {Routine::Tree, RegNtPreQueryKey, 1, STATUS_BUFFER_OVERFLOW, 0, STATUS_BUFFER_OVERFLOW,
         {P("CopyTreeAndSecurity - NecessaryLength = zero")}},
        // Subkeys: a refused enumeration ends the loop and is returned; a refused stub is printed
        // and returned after the other stubs were made.
        {Routine::Stubs, RegNtPreEnumerateKey, 1, STATUS_ACCESS_DENIED, 0x1, STATUS_ACCESS_DENIED,
         {P("CopySubkey - keys = 2 max = 2, values = 2 max = 2, data = 4"),
          P("CopySubkey - Failed to ZwEnumerateKey. index = 0 status = " + denied)}},
        {Routine::Stubs, RegNtPreCreateKeyEx, 1, STATUS_ACCESS_DENIED, 0, STATUS_ACCESS_DENIED,
         {P("CopySubkey - Failed to ZwCreateKey KeyFullName = " + kCopyText + "\\X status = " + denied)}},
        {Routine::OneLevel, RegNtPreCreateKeyEx, 2, STATUS_ACCESS_DENIED, 0x1, STATUS_SUCCESS,
         {P("CopySubkeyValue - keys = 2 max = 2, values = 2 max = 2, data = 4"),
          P("CopySubkeyValue - Create Key. KeyFullName = " + kCopyText + "\\X"),
          P("CopySubkeyValue - Create Key. KeyFullName = " + kCopyText + "\\Y"),
          P("CopySubkeyValue - Failed to ZwCreateKey KeyFullName = " + kCopyText + "\\Y status = " + denied),
          P("CopySubkeyValue - ValueName = A"), P("CopySubkeyValue - ValueName = B")}},
        {Routine::Tree, RegNtPreEnumerateKey, 1, STATUS_ACCESS_DENIED, 0x1, STATUS_SUCCESS,
         {P("CopyTreeAndSecurity - keys = 2 max = 2, values = 2 max = 2, data = 4"),
          P("CopyTreeAndSecurity - Failed to ZwEnumerateKey. index = 0 status = " + denied),
          P("CopyTreeAndSecurity - ValueName = A"), P("CopyTreeAndSecurity - ValueName = B")}},
        // Values: a refused write is printed and the loop goes on; a refused enumeration is
        // returned.
        {Routine::OneLevel, RegNtPreSetValueKey, 1, STATUS_ACCESS_DENIED, 0, STATUS_SUCCESS,
         {P("CopySubkeyValue - Failed to ZwSetValueKey ValueName = A status = " + denied)}},
        {Routine::Tree, RegNtPreEnumerateValueKey, 2, STATUS_ACCESS_DENIED, 0x1, STATUS_ACCESS_DENIED,
         {P("CopyTreeAndSecurity - keys = 2 max = 2, values = 2 max = 2, data = 4"),
          P("CopyTreeAndSecurity - keys = 0 max = 0, values = 0 max = 0, data = 0"),
          P("CopyTreeAndSecurity - non values in source 0"),
          P("CopyTreeAndSecurity - keys = 0 max = 0, values = 0 max = 0, data = 0"),
          P("CopyTreeAndSecurity - non values in source 0"), P("CopyTreeAndSecurity - ValueName = A"),
          P("CopyTreeAndSecurity - Failed to ZwEnumerateValueKey. index = 1 status = " + denied)}},
        // A value written into a new path.
        {Routine::RegData, RegNtPreSetValueKey, 1, STATUS_ACCESS_DENIED, 0, STATUS_ACCESS_DENIED,
         {"CreateRegData ZwSetValueKey Error : " + denied}},
        {Routine::RegData, RegNtPreCreateKeyEx, 3, STATUS_ACCESS_DENIED, 0x1, STATUS_ACCESS_DENIED,
         {P("Create Name : \\REGISTRY\\MACHINE"), P("Create Name : \\REGISTRY\\MACHINE\\SOFTWARE"),
          P("Create Name : \\REGISTRY\\MACHINE\\SOFTWARE\\Sample"), "CreateRegData Create Key Error : " + denied}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(RoutineName(row.routine)) + " with the failure of call " + std::to_string(row.nth) + " of class " +
                     std::to_string(row.failing));
        StartOver();
        const size_t before = LivePoolAllocations();
        g_VexRegFilterData.DebugLogFlags = row.flags;
        FailNth(row.failing, row.nth, row.failure);
        EXPECT_EQ(row.expected, Run(row.routine));
        EXPECT_EQ(0, failCountdown) << "the failure was reached";
        EXPECT_EQ(row.lines, CopyLines());
        StartOver();
        EXPECT_EQ(before, LivePoolAllocations()) << "nothing but history entries stays allocated";
    }
}

// Every allocation of a copy fails in turn: each failure of the copy's own buffers prints its line
// and gives the status of the table, in the order the routine allocates. (The lines and statuses of
// the lists it consults are theirs, and not looked at here.)
TEST_F(CopyLinesTest, AFailedAllocationPrintsItsLine)
{
    typedef std::pair<NTSTATUS, std::string> Outcome;
    const NTSTATUS noPool = STATUS_INSUFFICIENT_RESOURCES;
    const Outcome noDescriptor = {STATUS_SUCCESS, P("CopySecurityObject - Descriptor allocate error")};
    const Outcome noCountsInSubtree = {STATUS_SUCCESS, P("CopyTreeAndSecurity - PKEY_FULL_INFORMATION allocate error")};
    const struct {
        Routine routine;
        std::vector<Outcome> outcomes;
    } rows[] = {
        {Routine::Security, {{noPool, P("CopySecurityObject - Descriptor allocate error")}}},
        // The stubs alone keep the status of the size query when the counts cannot be had.
        {Routine::Stubs,
         {{STATUS_BUFFER_TOO_SMALL, P("CopySubkey - PKEY_FULL_INFORMATION allocate error")},
          {noPool, P("CopySubkey - KeyFullName allocate error")},
          {noPool, P("CopySubkey - KeyBasicInfo allocate error")}}},
        {Routine::OneLevel,
         {{noPool, P("CopySubkeyValue - PKEY_FULL_INFORMATION allocate error")},
          {noPool, P("CopySubkeyValue - KeyFullName allocate error")},
          {noPool, P("CopySubkeyValue - KeyBasicInfo allocate error")},
          {noPool, P("CopySubkeyValue - ValueFullInfo allocate error")}}},
        // Below the root a key that cannot be copied is left out; the root's own failures count.
        {Routine::Tree,
         {noDescriptor,
          {noPool, P("CopyTreeAndSecurity - PKEY_FULL_INFORMATION allocate error")},
          {noPool, P("CopyTreeAndSecurity - SourceSubName allocate error")},
          {noPool, P("CopyTreeAndSecurity - TargetSubName allocate error")},
          {noPool, P("CopyTreeAndSecurity - KeyBasicInfo allocate error")},
          {noPool, P("CopyTreeAndSecurity - level stack allocate error")},
          noDescriptor,
          noCountsInSubtree,
          noDescriptor,
          noCountsInSubtree,
          {noPool, P("CopyTreeAndSecurity - ValueFullInfo allocate error")}}},
        // The prepared-key walk, like the stubs alone, keeps the size query's status.
        {Routine::PreparedWalk,
         {{STATUS_BUFFER_TOO_SMALL, P("EnumPreparedKey - PKEY_FULL_INFORMATION allocate error")},
          {noPool, P("EnumPreparedKey - Subkey allocate error")},
          {noPool, P("EnumPreparedKey - KeyBasicInfo allocate error")}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(RoutineName(row.routine));
        StartOver();
        const size_t before = LivePoolAllocations();
        std::vector<Outcome> outcomes;
        ForEachAllocationFailure(
            [&] {
                ClearDebugOutput();
                NTSTATUS status = Run(row.routine);
                for (const std::string& line : CopyLines()) {
                    if (line.rfind(P("Copy"), 0) == 0 || line.rfind(P("EnumPreparedKey"), 0) == 0) {
                        outcomes.push_back({status, line});
                    }
                }
                StartOver();
                EXPECT_EQ(before, LivePoolAllocations());
                return status;
            },
            [](NTSTATUS, int) {});
        EXPECT_EQ(row.outcomes, outcomes);
    }
}

// With the detail bit (0x1) and the trace bit (0x8) a copy tells every step: the counts, each stub,
// each value and what became of it, and the path of a new value.
TEST_F(CopyLinesTest, DetailAndTraceLinesTellEveryStep)
{
    const std::u16string allowlist = u"\\REGISTRY\\MACHINE\\Software\\Policies\\Microsoft\\Edge\\URLAllowlist";
    const std::u16string allowlistCopy = R + u"\\MACHINE\\Software\\Policies\\Microsoft\\Edge\\URLAllowlist";
    const std::string ids = "PID = " + std::to_string((ULONG)(ULONG_PTR)PsGetCurrentProcessId()) +
                            " TID = " + std::to_string((ULONG)(ULONG_PTR)PsGetCurrentThreadId());
    const struct {
        const char* what;
        Routine routine;
        std::u16string real;
        std::u16string copy;
        std::function<void()> setUp;
        std::vector<std::string> lines;
    } rows[] = {
        {"a value the copy has and an excluded one", Routine::OneLevel, kReal, kCopy,
         [] {
             Make(kCopy, {Dword(u"A", 7)});
             Wide excluded(kReal + u"\\B");
             ASSERT_EQ(STATUS_SUCCESS, InsertExcludeValue(excluded.get()));
         },
         {P("CopySubkeyValue - keys = 2 max = 2, values = 2 max = 2, data = 4"),
          P("CopySubkeyValue - Create Key. KeyFullName = " + kCopyText + "\\X"),
          P("CopySubkeyValue - Create Key. KeyFullName = " + kCopyText + "\\Y"), P("CopySubkeyValue - ValueName = A"),
          P("CopySubkeyValue - already exist. " + ids + " ValueName = A status = c0000023"), P("CopySubkeyValue - ValueName = B"),
          P("CopySubkeyValue - Exclude ValueName = B")}},
        {"a key without subkeys", Routine::Stubs, kReal + u"\\X", kCopy + u"\\X", [] {},
         {P("CopySubkey - keys = 0 max = 0, values = 0 max = 0, data = 0"), P("CopySubkey - non keys in source 0")}},
        {"the values of an allowlist key", Routine::OneLevel, allowlist, allowlistCopy,
         [&] {
             ASSERT_EQ(STATUS_SUCCESS, UAPInitialize());
             Make(allowlist, {Dword(u"1", 1), Dword(u"3", 3)});
             Make(allowlistCopy);
             ClearDebugOutput();
         },
         {P("CopySubkeyValue - keys = 0 max = 0, values = 2 max = 2, data = 4"),
          P("CopySubkeyValue - Exclude URLAllowlist = " + Utf8(allowlist)), P("CopySubkeyValue - ValueName = 1"),
          P("CopySubkeyValue - Set ValueName = 1"), P("CopySubkeyValue - ValueName = 3")}},
        {"the walk of a root's first level", Routine::PreparedWalk, kReal, kCopy, [] {},
         {P("EnumPreparedKey - keys = 2 max = 2, values = 2 max = 2, data = 4"),
          P("EnumPreparedKey - Enum Subkey. Path = " + kRealText + "\\X"),
          P("EnumPreparedKey - Enum Subkey. Path = " + kRealText + "\\Y")}},
        {"an existing key", Routine::Exists, kReal, kCopy, [] {},
         {"VexRegFilter - IsExistKey() [KeyName] : " + kRealText, "VexRegFilter - IsExistKey() [Exist] : 1"}},
        {"a value in a new path", Routine::RegData, kReal, kCopy, [] {},
         {"VexRegFilter - CreateRegData() - enter", "VexRegFilter - CreateRegData() [FullName] : " + Utf8(kDataKey),
          "VexRegFilter - CreateRegData() [ValueName] : V", P("Create Name : \\REGISTRY\\MACHINE"),
          P("Create Name : \\REGISTRY\\MACHINE\\SOFTWARE"), P("Create Name : \\REGISTRY\\MACHINE\\SOFTWARE\\Sample"),
          P("Create Name : \\REGISTRY\\MACHINE\\SOFTWARE\\Sample\\Sandbox"),
          P("Create Name : \\REGISTRY\\MACHINE\\SOFTWARE\\Sample\\Sandbox\\Reg"),
          P("Create Name : " + Utf8(R) + "\\MACHINE"), P("Create Name : " + Utf8(R) + "\\MACHINE\\New"),
          "VexRegFilter - CreateRegData() ZwCreateKey succeeded [FullName] : " + Utf8(kDataKey),
          "VexRegFilter - CreateRegData() ZwSetValueKey succeeded [ValueName] : V", "VexRegFilter - CreateRegData() - exit"}},
        {"a tree with a hidden subkey and a link", Routine::Tree, kReal, kCopy,
         [] {
             Wide hidden(kReal + u"\\X");
             ASSERT_EQ(STATUS_SUCCESS, InsertExcludeKey(hidden.get()));
             HANDLE real = nullptr, link = nullptr;
             ASSERT_EQ(STATUS_SUCCESS, OpenPath(kReal, &real));
             Wide linkName(u"L");
             OBJECT_ATTRIBUTES oa;
             InitializeObjectAttributes(&oa, linkName.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, real, nullptr);
             ASSERT_EQ(STATUS_SUCCESS, ZwCreateKey(&link, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_CREATE_LINK, nullptr));
             (void)ZwClose(link);
             (void)ZwClose(real);
         },
         {P("CopyTreeAndSecurity - keys = 3 max = 2, values = 2 max = 2, data = 4"),
          P("CopyTreeAndSecurity - symbolic link not copied. key = " + kRealText + "\\L"),
          P("CopyTreeAndSecurity - keys = 0 max = 0, values = 0 max = 0, data = 0"), P("CopyTreeAndSecurity - non values in source 0"),
          P("CopyTreeAndSecurity - ValueName = A"), P("CopyTreeAndSecurity - Set ValueName = A"),
          P("CopyTreeAndSecurity - ValueName = B"), P("CopyTreeAndSecurity - Set ValueName = B")}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        StartOver();
        row.setUp();
        ClearDebugOutput();
        g_VexRegFilterData.DebugLogFlags = 0x9;
        EXPECT_EQ(STATUS_SUCCESS, Run(row.routine, row.real, row.copy));
        EXPECT_EQ(row.lines, CopyLines());
    }
}

}  // namespace
