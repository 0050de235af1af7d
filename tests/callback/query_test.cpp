// Queries and enumeration on a handle to a key's copy: answered as the real key until the copy
// changes, then by the copy with every real subkey; hidden values; certificate stores; and the
// caller's buffers, which the driver reaches only through the fault-safe copy.
#include "tests/callback/callback_fixture.h"

#include "sim/executive/clock.h"
#include "sim/ob/handles.h"
#include "sim/ob/object.h"
#include "sim/ps/process_memory.h"
#include "tables/key_lists.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

using namespace vextest;

const std::u16string kReal = kSoftware + u"\\Query";
const std::u16string kCopy = kRoot + u"\\MACHINE\\SOFTWARE\\Query";

// A registry callback of a test at an altitude of its own, running an action in the
// pre-notifications of one class.
class ActionCallback {
public:
    ActionCallback(const char16_t* altitude, REG_NOTIFY_CLASS notifyClass, std::function<void(PVOID)> action)
        : altitude_(altitude), notifyClass_(notifyClass), action_(std::move(action))
    {
        EXPECT_EQ(STATUS_SUCCESS, CmRegisterCallbackEx(&Entry, altitude_.get(), nullptr, this, &cookie_, nullptr));
    }
    ~ActionCallback() { EXPECT_EQ(STATUS_SUCCESS, CmUnRegisterCallback(cookie_)); }

private:
    static NTSTATUS NTAPI Entry(PVOID context, PVOID argument1, PVOID argument2)
    {
        auto* self = static_cast<ActionCallback*>(context);
        if ((REG_NOTIFY_CLASS)(ULONG_PTR)argument1 == self->notifyClass_) {
            self->action_(argument2);
        }
        return STATUS_SUCCESS;
    }
    Wide altitude_;
    REG_NOTIFY_CLASS notifyClass_;
    std::function<void(PVOID)> action_;
    LARGE_INTEGER cookie_{};
};

class QueryTest : public CallbackTest {
protected:
    void SetUp() override
    {
        CallbackTest::SetUp();
        // The real key: a class, three subkeys and two values, written an hour before its copy.
        HANDLE key = nullptr;
        Wide name(kReal), className(u"RealClass");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, className.get(), 0, nullptr));
        for (const char16_t* subkey : {u"A", u"Bb", u"Ccc"}) {
            KernelKey child;
            ASSERT_EQ(STATUS_SUCCESS, child.Create(subkey, key));
        }
        for (const char16_t* value : {u"v1", u"value2"}) {
            Wide valueName(value);
            ULONG data = 7;
            ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, valueName.get(), 0, REG_DWORD, &data, sizeof(data)));
        }
        (void)ZwClose(key);
        vexsim::AdvanceSimulatedClock(36000000000LL);
        // Its copy as a first open leaves it: a stub of one subkey.
        KernelKey stub;
        ASSERT_EQ(STATUS_SUCCESS, stub.CreatePath(kCopy + u"\\A"));
        copy_ = OpenAsRedirected(kReal, kCopy);
        ASSERT_EQ(STATUS_SUCCESS, Open(outsider, kReal, KEY_READ, &real_));
        (void)Records();
    }

    // A handle of the sandboxed program `late_` to a key's copy, carrying the context a
    // redirected open attaches: opened while the program is not under the sandbox.
    HANDLE OpenAsRedirected(const std::u16string& original, const std::u16string& redirect)
    {
        if (late_ == nullptr) {
            vexsim::ProcessParams params{u"\\Device\\HarddiskVolume3\\App\\late.exe"};
            params.userSid = Utf8(kUserSid);
            params.administrator = true;  // writes into the machine's keys of the copy
            late_ = vexsim::CreateUserProcess(params);
        } else {
            DeleteMonitoredProcess(&g_VexRegFilterData.MonitoredProcessList, PsGetProcessId(late_));
        }
        HANDLE handle = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, Open(late_, redirect, KEY_ALL_ACCESS, &handle));
        PVOID object = nullptr;
        {
            vexsim::UserModeScope user(late_);
            EXPECT_EQ(STATUS_SUCCESS, vexsim::ReferenceObjectByHandle(handle, 0, *CmKeyObjectType, UserMode, &object, nullptr));
        }
        Wide originalName(original), redirectName(redirect);
        ULONG hash = 0;
        EXPECT_EQ(STATUS_SUCCESS, RegistryHistoryHash(redirectName.get(), &hash));
        EXPECT_EQ(STATUS_SUCCESS, SetCallbackContext(object, originalName.get(), redirectName.get(), hash));
        vexsim::DereferenceObject(object);
        PutUnderSandbox(late_);
        return handle;
    }
    void TearDown() override
    {
        if (late_ != nullptr) {
            vexsim::EndProcess(late_);
        }
        CallbackTest::TearDown();
    }

    struct Answer {
        NTSTATUS status;
        ULONG resultLength;
        std::vector<UCHAR> bytes;
        bool operator==(const Answer&) const = default;
    };
    // A query or enumeration by a program into a buffer of `length` bytes filled with 0xCD.
    static Answer Ask(PEPROCESS process, HANDLE key, KEY_INFORMATION_CLASS informationClass, ULONG length, LONG index = -1)
    {
        vexsim::UserModeScope user(process);
        Answer answer{STATUS_UNSUCCESSFUL, 0xEEEEEEEE, std::vector<UCHAR>(length, 0xCD)};
        answer.status = index < 0 ? vexsim::NtQueryKey(key, informationClass, answer.bytes.data(), length, &answer.resultLength)
                                  : vexsim::NtEnumerateKey(key, (ULONG)index, informationClass, answer.bytes.data(), length,
                                                           &answer.resultLength);
        return answer;
    }
    static std::vector<std::u16string> Subkeys(PEPROCESS process, HANDLE key)
    {
        std::vector<std::u16string> names;
        for (LONG index = 0;; index++) {
            Answer answer = Ask(process, key, KeyBasicInformation, 256, index);
            if (answer.status != STATUS_SUCCESS) {
                EXPECT_EQ(STATUS_NO_MORE_ENTRIES, answer.status);
                return names;
            }
            auto* info = (PKEY_BASIC_INFORMATION)answer.bytes.data();
            names.emplace_back((const char16_t*)info->Name, info->NameLength / sizeof(WCHAR));
        }
    }
    static KEY_FULL_INFORMATION Full(PEPROCESS process, HANDLE key)
    {
        Answer answer = Ask(process, key, KeyFullInformation, 256);
        EXPECT_EQ(STATUS_SUCCESS, answer.status);
        KEY_FULL_INFORMATION info;
        std::memcpy(&info, answer.bytes.data(), sizeof(info));
        return info;
    }

    HANDLE copy_ = nullptr;
    HANDLE real_ = nullptr;
    PEPROCESS late_ = nullptr;
};

TEST_F(QueryTest, AnUnchangedCopyEnumeratesAndCountsAsTheRealKey)
{
    EXPECT_EQ((std::vector<std::u16string>{u"A", u"Bb", u"Ccc"}), Subkeys(late_, copy_));
    KEY_FULL_INFORMATION full = Full(late_, copy_), real = Full(outsider, real_);
    EXPECT_EQ(3u, full.SubKeys);
    EXPECT_EQ(2u, full.Values);
    EXPECT_EQ(real.LastWriteTime.QuadPart, full.LastWriteTime.QuadPart);
    // The basic class is the copy's own: its write time is an hour later.
    Answer basic = Ask(late_, copy_, KeyBasicInformation, 256);
    ASSERT_EQ(STATUS_SUCCESS, basic.status);
    EXPECT_NE(real.LastWriteTime.QuadPart, ((PKEY_BASIC_INFORMATION)basic.bytes.data())->LastWriteTime.QuadPart);

    const std::string bypassEnum = Record("REG = ENUM_KEY", "func = BYPASS", STATUS_SUCCESS, kReal);
    EXPECT_EQ((std::vector<std::string>{bypassEnum, bypassEnum, bypassEnum,
                                        Record("REG = QUERY_KEY", "func = BYPASS", STATUS_SUCCESS, kReal),
                                        Record("REG = QUERY_KEY", "func = PASS_THRU", STATUS_SUCCESS, kCopy)}),
              Records())
        << "the end of the enumeration is the real key's answer and writes no record";
    HANDLE copyItself = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(outsider, kCopy, KEY_READ, &copyItself));
    EXPECT_EQ((std::vector<std::u16string>{u"A"}), Subkeys(outsider, copyItself)) << "the copy itself holds one stub";
    ASSERT_EQ(STATUS_SUCCESS, Close(outsider, copyItself));
}

// Every answer from the real key is the one the real key gives the same caller: statuses, the
// length reported, and the bytes written, also the fixed part of a partial answer.
TEST_F(QueryTest, AnswersFromTheRealKeyFollowItsBufferRules)
{
    const struct {
        KEY_INFORMATION_CLASS informationClass;
        LONG index;
    } asks[] = {
        {KeyBasicInformation, 1}, {KeyNodeInformation, 2}, {KeyFullInformation, 0}, {KeyNameInformation, 0},
        {KeyBasicInformation, 3}, {KeyFullInformation, -1}, {KeyCachedInformation, -1},
    };
    for (const auto& ask : asks) {
        for (ULONG length : {0u, 8u, 16u, 24u, 40u, 44u, 48u, 52u, 66u, 4096u}) {
            Answer answered = Ask(late_, copy_, ask.informationClass, length, ask.index);
            Answer real = Ask(outsider, real_, ask.informationClass, length, ask.index);
            if (answered.status == STATUS_SUCCESS && ask.informationClass != KeyNameInformation) {
                // The full and cached answers of a key carry its write time; they are the real one's.
                EXPECT_EQ(real, answered) << ask.informationClass << " " << ask.index << " " << length;
            } else {
                EXPECT_EQ(real.status, answered.status) << ask.informationClass << " " << ask.index << " " << length;
                EXPECT_EQ(real.resultLength, answered.resultLength) << ask.informationClass << " " << length;
                if (answered.status == STATUS_BUFFER_OVERFLOW) {
                    EXPECT_EQ(real.bytes, answered.bytes) << "the part written " << ask.informationClass << " " << length;
                }
            }
        }
    }
}

TEST_F(QueryTest, AChangedCopyAnswersItselfWithEveryRealSubkey)
{
    ASSERT_EQ(STATUS_SUCCESS, SetDword(late_, copy_, u"mine", 1));
    KernelKey added;
    ASSERT_EQ(STATUS_SUCCESS, added.CreatePath(kCopy + u"\\New"));
    EXPECT_EQ((std::vector<std::u16string>{u"A", u"Bb", u"Ccc", u"New"}), Subkeys(late_, copy_));
    EXPECT_EQ(4u, Full(late_, copy_).SubKeys);
    EXPECT_EQ(1u, Full(late_, copy_).Values) << "the copy's own values";
    Wide copyName(kCopy);
    EXPECT_TRUE(RegistryHistoryExists(&g_VexRegFilterData.CopySubkeyHistory, copyName.get(), nullptr, nullptr));
    const std::string passEnum = Record("REG = ENUM_KEY", "func = PASS_THRU", STATUS_SUCCESS, kCopy);
    const std::string passQuery = Record("REG = QUERY_KEY", "func = PASS_THRU", STATUS_SUCCESS, kCopy);
    EXPECT_EQ((std::vector<std::string>{passEnum, passEnum, passEnum, passEnum, passEnum, passQuery, passQuery}), Records());
}

// Another thread of the program can unmap or protect its buffers after the system service probed
// them: the answer then fails with STATUS_ACCESS_VIOLATION, the machine goes on.
TEST_F(QueryTest, BuffersTheProgramTakesAwayFailTheAnswer)
{
    const ULONG_PTR buffer = vexsim::AllocateProcessMemory(late_, 4096);
    const ULONG_PTR result = vexsim::AllocateProcessMemory(late_, sizeof(ULONG));
    for (ULONG_PTR takenAway : {buffer, result}) {
        for (bool unmapped : {false, true}) {
            for (REG_NOTIFY_CLASS notifyClass : {RegNtPreEnumerateKey, RegNtPreQueryKey}) {
                ActionCallback thief(u"400000", notifyClass, [&](PVOID) {
                    if (unmapped) {
                        vexsim::SetProcessMemoryReadable(late_, takenAway, false);
                    } else {
                        vexsim::SetProcessMemoryWritable(late_, takenAway, false);
                    }
                });
                vexsim::UserModeScope user(late_);
                NTSTATUS status = notifyClass == RegNtPreEnumerateKey
                                      ? vexsim::NtEnumerateKey(copy_, 0, KeyBasicInformation, (PVOID)buffer, 4096, (PULONG)result)
                                      : vexsim::NtQueryKey(copy_, KeyFullInformation, (PVOID)buffer, 4096, (PULONG)result);
                EXPECT_EQ(STATUS_ACCESS_VIOLATION, status) << notifyClass << (takenAway == buffer ? " buffer" : " length");
                vexsim::SetProcessMemoryReadable(late_, takenAway, true);
                vexsim::SetProcessMemoryWritable(late_, takenAway, true);
            }
        }
    }
    EXPECT_EQ(std::vector<std::string>{}, Records());
}

// A program may claim a buffer of any length; the driver's own buffer never outgrows the largest
// answer the registry gives.
TEST_F(QueryTest, TheClaimedLengthDoesNotSizeThePool)
{
    const ULONG claimed = 64 << 20;
    const ULONG_PTR buffer = vexsim::AllocateProcessMemory(late_, claimed);
    SIZE_T largest = 0;
    ActionCallback spy(u"100000", RegNtPreEnumerateKey, [&](PVOID) {
        for (const vexsim::PoolAllocation& allocation : vexsim::LivePoolAllocations()) {
            largest = std::max(largest, allocation.size);
        }
    });
    ULONG length = 0;
    {
        vexsim::UserModeScope user(late_);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::NtEnumerateKey(copy_, 2, KeyNodeInformation, (PVOID)buffer, claimed, &length));
    }
    EXPECT_GT(largest, 0u) << "the spy saw the driver's own enumeration";
    EXPECT_LT(largest, 0x20000u);
    std::vector<UCHAR> answer(length);
    ASSERT_TRUE(vexsim::ReadProcessMemory(late_, buffer, answer.data(), length));
    EXPECT_EQ(Ask(outsider, real_, KeyNodeInformation, length, 2).bytes, answer);
}

TEST_F(QueryTest, HiddenValuesDoNotExistInTheSandbox)
{
    Wide excluded(kReal + u"\\v1");
    ASSERT_EQ(STATUS_SUCCESS, InsertExcludeValue(excluded.get()));
    auto query = [&](const std::u16string& value) {
        vexsim::UserModeScope user(late_);
        Wide name(value);
        UCHAR buffer[64];
        ULONG length = 0;
        return vexsim::NtQueryValueKey(copy_, name.get(), KeyValuePartialInformation, buffer, sizeof(buffer), &length);
    };
    ASSERT_EQ(STATUS_SUCCESS, SetDword(late_, copy_, u"v1", 1));
    ASSERT_EQ(STATUS_SUCCESS, SetDword(late_, copy_, u"v2", 2));
    (void)Records();
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, query(u"v1")) << "even though the copy holds it";
    EXPECT_EQ(STATUS_SUCCESS, query(u"v2"));
    EXPECT_EQ((std::vector<std::string>{Record("REG = QUERY_VALUE", "func = EXCLUDED", STATUS_OBJECT_NAME_NOT_FOUND,
                                               kCopy + u"\\v1")}),
              Records());
}

TEST_F(QueryTest, OnlyValuesOneAndTwoOfAUrlAllowlistKeyExist)
{
    const std::u16string policy = kUser + u"\\Software\\Policies\\Microsoft\\Edge\\URLAllowlist";
    const std::u16string policyCopy = kRoot + u"\\USER\\" + kUserSid + u"\\Software\\Policies\\Microsoft\\Edge\\URLAllowlist\\";
    KernelKey key;
    ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(policyCopy));
    HANDLE handle = OpenAsRedirected(policy + u"\\", policyCopy);
    for (const char16_t* value : {u"1", u"2", u"3"}) {
        ASSERT_EQ(STATUS_SUCCESS, SetDword(late_, handle, value, 1));
    }
    (void)Records();
    for (auto [value, status] : {std::pair{u"1", STATUS_SUCCESS}, std::pair{u"2", STATUS_SUCCESS},
                                 std::pair{u"3", STATUS_OBJECT_NAME_NOT_FOUND}, std::pair{u"", STATUS_OBJECT_NAME_NOT_FOUND}}) {
        vexsim::UserModeScope user(late_);
        Wide name(value);
        UCHAR buffer[64];
        ULONG length = 0;
        EXPECT_EQ(status, vexsim::NtQueryValueKey(handle, name.get(), KeyValuePartialInformation, buffer, sizeof(buffer), &length))
            << Utf8(value);
    }
    // A copy's name that ends in a separator takes none more before the value.
    EXPECT_EQ((std::vector<std::string>{
                  Record("REG = QUERY_VALUE", "func = EXCLUDED", STATUS_OBJECT_NAME_NOT_FOUND, policyCopy + u"3"),
                  Record("REG = QUERY_VALUE", "func = EXCLUDED", STATUS_OBJECT_NAME_NOT_FOUND, policyCopy),
              }),
              Records());
}

// A certificate store shows the real key's security descriptor; a store that exists only in the
// copy shows the copy's, and other keys are never looked at.
TEST_F(QueryTest, CertificateStoresShowTheRealKeysSecurity)
{
    const std::u16string store = kSoftware + u"\\Microsoft\\SystemCertificates\\Root";
    const std::u16string storeCopy = kRoot + u"\\MACHINE\\SOFTWARE\\Microsoft\\SystemCertificates\\Root";
    const std::u16string mine = kSoftware + u"\\Microsoft\\SystemCertificates\\Mine";
    const std::u16string mineCopy = kRoot + u"\\MACHINE\\SOFTWARE\\Microsoft\\SystemCertificates\\Mine";
    for (const std::u16string& name : {store, storeCopy, mineCopy}) {
        KernelKey key;
        ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(name));
    }
    HANDLE realStore = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(outsider, store, KEY_READ, &realStore));
    auto security = [](PEPROCESS process, HANDLE key, ULONG length, ULONG* needed) {
        vexsim::UserModeScope user(process);
        std::vector<UCHAR> buffer(length + 1, 0xCD);
        *needed = 0xEEEE;
        NTSTATUS status = vexsim::NtQuerySecurityObject(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                        buffer.data(), length, needed);
        buffer.resize(status == STATUS_SUCCESS ? *needed : 0);
        return std::pair{status, buffer};
    };
    ULONG realNeeded = 0;
    auto real = security(outsider, realStore, 4096, &realNeeded);
    ASSERT_EQ(STATUS_SUCCESS, real.first);

    // The copies carry the driver's descriptor (System as owner), not the real key's.
    HANDLE copy = OpenAsRedirected(store, storeCopy);
    ULONG needed = 0;
    EXPECT_EQ(real, security(late_, copy, 4096, &needed));
    EXPECT_EQ(realNeeded, needed);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, security(late_, copy, 8, &needed).first);
    EXPECT_EQ(realNeeded, needed) << "the caller learns the length it needs";
    HANDLE onlyCopy = OpenAsRedirected(mine, mineCopy);
    EXPECT_EQ(STATUS_SUCCESS, security(late_, onlyCopy, 4096, &needed).first);
    EXPECT_EQ(STATUS_SUCCESS, security(late_, copy_, 4096, &needed).first);
    EXPECT_EQ((std::vector<std::string>{Record("REG = QUERY_SEC", "func = BYPASS", STATUS_SUCCESS, store),
                                        Record("REG = QUERY_SEC", "func = PASS_THRU", STATUS_SUCCESS, mineCopy)}),
              Records());
    ASSERT_EQ(STATUS_SUCCESS, Close(outsider, realStore));
}

}  // namespace
