// What the handlers print on the kernel debugger: the names of a create or open by the debug bits,
// and the exact line of each failure when an answer is taken from the real key.
#include "tests/callback/callback_fixture.h"

#include "tests/support/kernel_key.h"

#include <algorithm>
#include <functional>

namespace {

using namespace vextest;

const std::u16string kReal = kSoftware + u"\\Lines";
const std::u16string kCopy = kRoot + u"\\MACHINE\\SOFTWARE\\Lines";
const std::u16string kMissing = kSoftware + u"\\Missing";

std::string P(const std::string& message) { return "VexRegFilter.sys: " + message; }

// The captured lines that begin with one of the prefixes.
std::vector<std::string> LinesBeginningWith(const std::vector<std::string>& prefixes)
{
    std::vector<std::string> lines;
    for (const std::string& line : vexsim::DebugOutput()) {
        for (const std::string& prefix : prefixes) {
            if (line.rfind(prefix, 0) == 0) {
                lines.push_back(line);
                break;
            }
        }
    }
    return lines;
}

// Another filter's callback that refuses every operation of one class.
class Refuser {
public:
    explicit Refuser(REG_NOTIFY_CLASS notifyClass) : notifyClass_(notifyClass)
    {
        EXPECT_EQ(STATUS_SUCCESS, CmRegisterCallbackEx(&Entry, altitude_.get(), nullptr, this, &cookie_, nullptr));
    }
    ~Refuser() { EXPECT_EQ(STATUS_SUCCESS, CmUnRegisterCallback(cookie_)); }

private:
    static NTSTATUS NTAPI Entry(PVOID context, PVOID argument1, PVOID)
    {
        auto* self = static_cast<Refuser*>(context);
        return (REG_NOTIFY_CLASS)(ULONG_PTR)argument1 == self->notifyClass_ ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
    }
    Wide altitude_{u"400000"};
    REG_NOTIFY_CLASS notifyClass_;
    LARGE_INTEGER cookie_{};
};

class HandlerLinesTest : public CallbackTest {
protected:
    HandlerLinesTest() { logLevels = LOG_LEVEL_INFO | LOG_LEVEL_TRACE; }
    void SetUp() override
    {
        CallbackTest::SetUp();
        KernelKey key;
        ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(kReal + u"\\Sub"));
    }
    void TearDown() override
    {
        g_VexRegFilterData.DebugLogFlags = 0;
        CallbackTest::TearDown();
    }
};

// Bit 0x04 names an open without the other details; bit 0x01 names every create and open with
// its three names and says that it was bypassed.
TEST_F(HandlerLinesTest, TheDebugBitsNameCreatesAndOpens)
{
    const std::string full = Utf8(kReal), copy = Utf8(kCopy);
    const std::vector<std::string> openDetails = {
        P("PreOpenKey - Full " + full),          P("PreOpenKey - Full Name  : " + full), P("PreOpenKey - Original   : " + full),
        P("PreOpenKey - Redirected : " + copy), P("\tCallback: Open key " + full + " bypassed.")};
    const struct {
        bool create;
        ULONG flags;
        std::vector<std::string> lines;
    } rows[] = {
        {false, 0, {}},
        {false, DEBUG_FLAG_OPEN_FULL_NAME, {P("PreOpenKey - Full " + full)}},
        {false, DEBUG_FLAG_DETAILS, openDetails},
        {false, DEBUG_FLAG_DETAILS | DEBUG_FLAG_OPEN_FULL_NAME, openDetails},
        {true, DEBUG_FLAG_OPEN_FULL_NAME, {}},
        {true, DEBUG_FLAG_DETAILS,
         {P("PreCreateKey - Full " + full), P("PreCreateKey - Full Name  : " + full), P("PreCreateKey - Original   : " + full),
          P("PreCreateKey - Redirected : " + copy), P("\tCallback: Create key " + full + " bypassed.")}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.create ? "create" : "open") + " with the bits " + std::to_string(row.flags));
        g_VexRegFilterData.DebugLogFlags = row.flags;
        vexsim::ClearDebugOutput();
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, row.create ? Create(sandboxed, kReal, &key) : Open(sandboxed, kReal, KEY_READ, &key));
        g_VexRegFilterData.DebugLogFlags = 0;
        EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, key));
        EXPECT_EQ(row.lines, LinesBeginningWith({P("PreOpenKey"), P("PreCreateKey"), P("\tCallback")}));
    }
}

// With bit 0x01 the handlers of a redirected handle name the key it stands for and its copy, and a
// value query the value.
TEST_F(HandlerLinesTest, QueriesOfARedirectedHandleNameItsKeys)
{
    const std::string real = Utf8(kReal), copy = Utf8(kCopy);
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(sandboxed, kReal, KEY_READ | READ_CONTROL, &key));
    g_VexRegFilterData.DebugLogFlags = DEBUG_FLAG_DETAILS;
    vexsim::ClearDebugOutput();
    {
        vexsim::UserModeScope user(sandboxed);
        std::vector<UCHAR> buffer(512);
        ULONG length = 0;
        Wide value(u"v");
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtEnumerateKey(key, 0, KeyBasicInformation, buffer.data(), 512, &length));
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtQueryKey(key, KeyFullInformation, buffer.data(), 512, &length));
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtQuerySecurityObject(key, DACL_SECURITY_INFORMATION, buffer.data(), 512, &length));
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
                  vexsim::NtQueryValueKey(key, value.get(), KeyValuePartialInformation, buffer.data(), 512, &length));
    }
    g_VexRegFilterData.DebugLogFlags = 0;
    EXPECT_EQ((std::vector<std::string>{P("VexRegNtEnumerateKey - Original   : " + real),
                                        P("VexRegNtEnumerateKey - Redirected : " + copy),
                                        P("VexRegNtPreQueryKey - Original   : " + real),
                                        P("VexRegNtPreQueryKey - Redirected : " + copy),
                                        P("PreQueryKeySecurity - Original   : " + real),
                                        P("PreQueryKeySecurity - Redirected : " + copy),
                                        P("VexRegNtPreQueryValueKey - Original   : " + real),
                                        P("VexRegNtPreQueryValueKey - Redirected : " + copy),
                                        P("VexRegNtPreQueryValueKey - ValueName  : v")}),
              LinesBeginningWith({P("VexRegNt"), P("PreQueryKeySecurity")}));
    EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, key));
}

// A key of the built-in exclusion list reached through a copy is opened on the real key; when its
// handle cannot be referenced, the open fails with that status, printed and recorded at level 0x40.
TEST_F(HandlerLinesTest, AFailedReferenceOfAnExcludedRealKeyIsPrintedAndRecorded)
{
    const std::u16string control = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control";
    const std::u16string device = control + u"\\Class\\{Device}";
    KernelKey real;
    ASSERT_EQ(STATUS_SUCCESS, real.CreatePath(device));
    HANDLE parent = nullptr, key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(sandboxed, control, KEY_READ, &parent));
    (void)Records();
    vexsim::ClearDebugOutput();
    vexsim::FailNthHandleReference(1, STATUS_INVALID_HANDLE);
    EXPECT_EQ(STATUS_INVALID_HANDLE, Open(sandboxed, u"Class\\{Device}", KEY_READ, &key, parent));
    vexsim::FailNthHandleReference(0, STATUS_SUCCESS);
    // The start made ...\MACHINE\System of the copy: names read back from it keep that spelling.
    const std::u16string deviceAsCopied = u"\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Control\\Class\\{Device}";
    EXPECT_EQ(std::vector<std::string>{P("PreOpenKey - Failed to ObReferenceObjectByHandle. status = c0000008 key = " + Utf8(deviceAsCopied))},
              LinesBeginningWith({P("PreOpenKey")}));
    const std::vector<std::string> records = Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(Record("REG = OPEN", "func = BYPASS", STATUS_INVALID_HANDLE, deviceAsCopied), records.back());
    // Without the failure a create of it opens the real key and says so.
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, Create(sandboxed, u"Class\\{Device}", &key, &disposition, parent));
    EXPECT_EQ((ULONG)REG_OPENED_EXISTING_KEY, disposition);
    EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, key));
    EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, parent));
}

// The answers from the real key: a real key that cannot be opened, a refused call and a failed
// allocation each print their line and return their status; the statuses that tell a size or the
// end of an enumeration print nothing.
TEST_F(HandlerLinesTest, AnswersFromTheRealKeyPrintTheirFailures)
{
    enum Answer { Enumeration, KeyQuery, SecurityQuery };
    const std::string real = Utf8(kReal), missing = Utf8(kMissing);
    // The answer's status; reported receives the length handed to the caller (0 when none), and
    // the caller's bytes past the length it gave must stay as they were.
    auto answer = [](Answer kind, const std::u16string& name, ULONG index, ULONG length, ULONG* reported = nullptr) {
        Wide wide(name);
        const UCHAR untouched = 0xCC;
        std::vector<UCHAR> buffer(length + 64, untouched);
        ULONG ignored = 0;
        ULONG& resultLength = reported != nullptr ? *reported : ignored;
        resultLength = 0;
        ULONG securityLength = length;
        SECURITY_INFORMATION information = DACL_SECURITY_INFORMATION;
        NTSTATUS status;
        if (kind == Enumeration) {
            REG_ENUMERATE_KEY_INFORMATION block = {};
            block.Index = index;
            block.KeyInformationClass = KeyBasicInformation;
            block.KeyInformation = buffer.data();
            block.Length = length;
            block.ResultLength = &resultLength;
            status = EnumerateKey(wide.get(), &block);
        } else if (kind == KeyQuery) {
            REG_QUERY_KEY_INFORMATION block = {};
            block.KeyInformationClass = KeyFullInformation;
            block.KeyInformation = buffer.data();
            block.Length = length;
            block.ResultLength = &resultLength;
            status = QueryKey(wide.get(), &block);
        } else {
            REG_QUERY_KEY_SECURITY_INFORMATION block = {};
            block.SecurityInformation = &information;
            block.SecurityDescriptor = buffer.data();
            block.Length = &securityLength;
            status = QuerySecurity(wide.get(), &block);
            resultLength = securityLength;
        }
        // Nothing at all is written when the buffer is too small for any answer.
        const size_t written = status == STATUS_BUFFER_TOO_SMALL ? 0 : length;
        EXPECT_TRUE(std::all_of(buffer.begin() + written, buffer.end(), [&](UCHAR byte) { return byte == untouched; }))
            << "written past what the answer allows";
        return status;
    };
    const struct {
        Answer kind;
        std::u16string name;
        ULONG index;
        ULONG length;
        REG_NOTIFY_CLASS refused;  // RegNtPreDeleteKey: nothing refused
        NTSTATUS expected;
        std::vector<std::string> lines;
    } rows[] = {
        {Enumeration, kMissing, 0, 256, RegNtPreDeleteKey, STATUS_OBJECT_NAME_NOT_FOUND,
         {P("EnumerateKey - ZwOpenKey failed : path = " + missing + " status = c0000034")}},
        {KeyQuery, kMissing, 0, 256, RegNtPreDeleteKey, STATUS_OBJECT_NAME_NOT_FOUND,
         {P("QueryKey - ZwOpenKey failed : path = " + missing + " status = c0000034")}},
        {SecurityQuery, kMissing, 0, 256, RegNtPreDeleteKey, STATUS_OBJECT_NAME_NOT_FOUND,
         {P("QuerySecurity - ZwOpenKey failed : path = " + missing + " status = c0000034")}},
        {Enumeration, kReal, 0, 256, RegNtPreEnumerateKey, STATUS_ACCESS_DENIED,
         {P("EnumerateKey - ZwEnumerateKey : NTStatus = 0xC0000022 path = " + real + " index = 0")}},
        {KeyQuery, kReal, 0, 256, RegNtPreQueryKey, STATUS_ACCESS_DENIED,
         {P("QueryKey - ZwQueryKey : NTStatus = 0xC0000022 path = " + real)}},
        {SecurityQuery, kReal, 0, 256, RegNtPreQueryKeySecurity, STATUS_ACCESS_DENIED,
         {P("QuerySecurity - ZwQuerySecurityObject : NTStatus = 0xC0000022 path = " + real)}},
        {Enumeration, kReal, 1, 256, RegNtPreDeleteKey, STATUS_NO_MORE_ENTRIES, {}},
        {Enumeration, kReal, 0, 4, RegNtPreDeleteKey, STATUS_BUFFER_TOO_SMALL, {}},
        {KeyQuery, kReal, 0, 4, RegNtPreDeleteKey, STATUS_BUFFER_TOO_SMALL, {}},
        {SecurityQuery, kReal, 0, 4, RegNtPreDeleteKey, STATUS_BUFFER_TOO_SMALL, {}},
    };
    const std::vector<std::string> ownLines = {P("EnumerateKey"), P("QueryKey"), P("QuerySecurity")};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.kind) + " of " + Utf8(row.name) + " refusing class " + std::to_string(row.refused));
        Refuser refuser(row.refused);
        vexsim::ClearDebugOutput();
        ULONG reported = 0;
        EXPECT_EQ(row.expected, answer(row.kind, row.name, row.index, row.length, &reported));
        EXPECT_EQ(row.lines, LinesBeginningWith(ownLines));
        if (row.expected == STATUS_ACCESS_DENIED) {
            EXPECT_EQ(0u, reported) << "a refused call reports no length";
        }
    }

    const std::vector<std::string> allocationLines[] = {{P("EnumerateKey - KeyInformation allocate error")},
                                                        {P("QueryKey - KeyInformation allocate error")},
                                                        {P("QuerySecurity - SecurityDescriptor allocate error")}};
    for (Answer kind : {Enumeration, KeyQuery, SecurityQuery}) {
        std::vector<std::string> lines;
        ForEachAllocationFailure(
            [&] {
                vexsim::ClearDebugOutput();
                NTSTATUS status = answer(kind, kReal, 0, 256);
                for (const std::string& line : LinesBeginningWith(ownLines)) {
                    lines.push_back(line);
                    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << line;
                }
                return status;
            },
            [](NTSTATUS, int) {});
        EXPECT_EQ(allocationLines[kind], lines);
    }
}

}  // namespace
