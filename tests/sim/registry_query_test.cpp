// Buffer answers of the query and enumeration services: exact statuses, result lengths and what
// is written, the enumeration orders and the end of enumeration.
#include "tests/sim/registry_fixture.h"

#include <cstddef>
#include <vector>

namespace vextest {
namespace {

class RegistryQueryTest : public RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        Wide className(u"Cls");
        Wide name(u"\\REGISTRY\\MACHINE\\SOFTWARE\\test_subkey");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, ZwCreateKey(&key_, KEY_ALL_ACCESS, &oa, 0, className.get(), 0, nullptr));
        std::u16string text = u"string";  // 12 bytes, no terminator
        Wide valueName(u"stringtest");
        ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key_, valueName.get(), 0, REG_SZ, text.data(), 12));
    }
    void TearDown() override
    {
        (void)ZwClose(key_);
        RegistryTest::TearDown();
    }
    HANDLE key_ = nullptr;
};

struct BufferCase {
    const char* probe;
    ULONG length;
    NTSTATUS expected;
};

TEST_F(RegistryQueryTest, ValuePartialInformationFollowsTheBufferRules)
{
    // Fixed part 12 bytes, data 12 bytes: 24 in all.
    const BufferCase cases[] = {
        {"no buffer", 0, STATUS_BUFFER_TOO_SMALL},
        {"one byte", 1, STATUS_BUFFER_TOO_SMALL},
        {"one byte short of the fixed part", 11, STATUS_BUFFER_TOO_SMALL},
        {"exactly the fixed part", 12, STATUS_BUFFER_OVERFLOW},
        {"one byte short of the whole", 23, STATUS_BUFFER_OVERFLOW},
        {"exactly the whole", 24, STATUS_SUCCESS},
        {"more than the whole", 64, STATUS_SUCCESS},
    };
    Wide valueName(u"stringtest");
    for (const BufferCase& c : cases) {
        std::vector<UCHAR> buffer(64, 0xCC);
        ULONG resultLength = 0;
        EXPECT_EQ(c.expected, ZwQueryValueKey(key_, valueName.get(), KeyValuePartialInformation,
                                              c.length ? buffer.data() : nullptr, c.length, &resultLength))
            << c.probe;
        EXPECT_EQ(24u, resultLength) << c.probe << ": the needed size in every case";
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
        if (c.expected == STATUS_BUFFER_TOO_SMALL) {
            EXPECT_EQ(0xCC, buffer[0]) << c.probe << ": nothing written";
        } else {
            EXPECT_EQ((ULONG)REG_SZ, info->Type) << c.probe;
            EXPECT_EQ(12u, info->DataLength) << c.probe;
        }
        if (c.expected == STATUS_SUCCESS) {
            EXPECT_EQ(std::u16string(u"string"), std::u16string(reinterpret_cast<char16_t*>(info->Data), 6));
            EXPECT_EQ(0xCC, buffer[24]) << c.probe << ": nothing past the answer";
        }
    }
}

TEST_F(RegistryQueryTest, ValueClassesLayTheirAnswersOut)
{
    Wide valueName(u"STRINGTEST");
    std::vector<UCHAR> buffer(128);
    ULONG length = 0;
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryValueKey(key_, valueName.get(), KeyValueBasicInformation, buffer.data(),
                                              (ULONG)buffer.size(), &length));
    auto* basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer.data());
    EXPECT_EQ(12u + 20u, length);
    EXPECT_EQ(20u, basic->NameLength);
    EXPECT_EQ("stringtest", Utf8(std::u16string(reinterpret_cast<char16_t*>(basic->Name), 10))) << "name as set";

    ASSERT_EQ(STATUS_SUCCESS, ZwQueryValueKey(key_, valueName.get(), KeyValueFullInformation, buffer.data(),
                                              (ULONG)buffer.size(), &length));
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
    EXPECT_EQ(40u, full->DataOffset);
    EXPECT_EQ(20u + 20u + 12u, length);
    EXPECT_EQ(0, std::memcmp(buffer.data() + full->DataOffset, u"string", 12));

    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwQueryValueKey(key_, valueName.get(), KeyValueLayerInformation, buffer.data(),
                                                        (ULONG)buffer.size(), &length));
    Wide missing(u"missing");
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, ZwQueryValueKey(key_, missing.get(), KeyValuePartialInformation,
                                                            buffer.data(), (ULONG)buffer.size(), &length));
}

TEST_F(RegistryQueryTest, KeyClassesReportNamesClassesAndCounts)
{
    HANDLE child = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&child, u"test_subkey2", 0, nullptr, key_));
    ASSERT_EQ(STATUS_SUCCESS, SetDword(key_, u"val", 1));
    std::vector<UCHAR> buffer(256);
    ULONG length = 0;

    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key_, KeyFullInformation, buffer.data(), (ULONG)buffer.size(), &length));
    auto* full = reinterpret_cast<PKEY_FULL_INFORMATION>(buffer.data());
    EXPECT_EQ(44u + 6u, length);
    EXPECT_EQ(1u, full->SubKeys);
    EXPECT_EQ(24u, full->MaxNameLen);
    EXPECT_EQ(2u, full->Values);
    EXPECT_EQ(20u, full->MaxValueNameLen) << "\"stringtest\"";
    EXPECT_EQ(12u, full->MaxValueDataLen);
    EXPECT_EQ(44u, full->ClassOffset);
    EXPECT_EQ(6u, full->ClassLength);

    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key_, KeyNodeInformation, buffer.data(), (ULONG)buffer.size(), &length));
    auto* node = reinterpret_cast<PKEY_NODE_INFORMATION>(buffer.data());
    EXPECT_EQ(22u, node->NameLength);
    EXPECT_EQ(24u + 22u, node->ClassOffset);
    EXPECT_EQ(24u + 22u + 6u, length);

    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(child, KeyNodeInformation, buffer.data(), (ULONG)buffer.size(), &length));
    EXPECT_EQ(0xFFFFFFFFu, node->ClassOffset) << "no class";
    EXPECT_EQ(0u, node->ClassLength);

    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key_, KeyCachedInformation, buffer.data(), (ULONG)buffer.size(), &length));
    EXPECT_EQ(40u, length);
    EXPECT_EQ(22u, reinterpret_cast<PKEY_CACHED_INFORMATION>(buffer.data())->NameLength);

    // The name class: too small for the fixed part, then for the name.
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwQueryKey(key_, KeyNameInformation, nullptr, 0, &length));
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, ZwQueryKey(key_, KeyNameInformation, buffer.data(), 8, &length));
    EXPECT_EQ(4u + 2u * 38u, length);
    EXPECT_EQ(76u, reinterpret_cast<PKEY_NAME_INFORMATION>(buffer.data())->NameLength);

    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwQueryKey(key_, MaxKeyInfoClass, buffer.data(), (ULONG)buffer.size(), &length));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              ZwQueryKey(key_, KeyLayerInformation, buffer.data(), (ULONG)buffer.size(), &length));
    (void)ZwClose(child);
}

TEST_F(RegistryQueryTest, SubkeysEnumerateSortedAndValuesInInsertionOrder)
{
    for (const char16_t* name : {u"beta", u"Alpha", u"gamma"}) {
        HANDLE child = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, CreateKey(&child, name, 0, nullptr, key_));
        (void)ZwClose(child);
    }
    for (const char16_t* name : {u"zeta", u"Eta", u"theta"}) {
        ASSERT_EQ(STATUS_SUCCESS, SetDword(key_, name, 1));
    }
    ASSERT_EQ(STATUS_SUCCESS, SetDword(key_, u"ZETA", 2)) << "overwriting keeps the place";

    std::vector<std::string> subkeys;
    std::vector<UCHAR> buffer(256);
    ULONG length = 0;
    ULONG index = 0;
    NTSTATUS status;
    while ((status = ZwEnumerateKey(key_, index++, KeyBasicInformation, buffer.data(), (ULONG)buffer.size(), &length)) ==
           STATUS_SUCCESS) {
        auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer.data());
        subkeys.push_back(Utf8(std::u16string(reinterpret_cast<char16_t*>(info->Name), info->NameLength / 2)));
    }
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES, status);
    EXPECT_EQ((std::vector<std::string>{"Alpha", "beta", "gamma"}), subkeys);

    std::vector<std::string> values;
    index = 0;
    while ((status = ZwEnumerateValueKey(key_, index++, KeyValueBasicInformation, buffer.data(), (ULONG)buffer.size(),
                                         &length)) == STATUS_SUCCESS) {
        auto* info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer.data());
        values.push_back(Utf8(std::u16string(reinterpret_cast<char16_t*>(info->Name), info->NameLength / 2)));
    }
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES, status);
    EXPECT_EQ((std::vector<std::string>{"stringtest", "zeta", "Eta", "theta"}), values);

    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwEnumerateKey(key_, 0, KeyBasicInformation, buffer.data(), 15, &length));
    EXPECT_EQ(16u + 10u, length);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, ZwEnumerateKey(key_, 0, KeyBasicInformation, buffer.data(), 16, &length));
    EXPECT_EQ(10u, reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer.data())->NameLength);
}

TEST_F(RegistryQueryTest, ValuesAreStoredByteExact)
{
    struct ValueCase {
        const char* probe;
        ULONG type;
        std::vector<UCHAR> data;
    };
    const ValueCase cases[] = {
        {"empty binary", REG_BINARY, {}},
        {"any type number round-trips", 0xff00ff00, {}},
        {"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"odd-sized data", REG_BINARY, {9, 8, 7}},
    };
    for (const ValueCase& c : cases) {
        Wide name(u"v");
        ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key_, name.get(), 0, c.type, (PVOID)c.data.data(), (ULONG)c.data.size()))
            << c.probe;
        std::vector<UCHAR> buffer(64);
        ULONG length = 0;
        ASSERT_EQ(STATUS_SUCCESS, ZwQueryValueKey(key_, name.get(), KeyValuePartialInformation, buffer.data(),
                                                  (ULONG)buffer.size(), &length))
            << c.probe;
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
        EXPECT_EQ(c.type, info->Type) << c.probe;
        EXPECT_EQ(std::vector<UCHAR>(info->Data, info->Data + info->DataLength), c.data) << c.probe;
    }
    Wide tooLong(std::u16string(16384, u'v'));
    ULONG data = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwSetValueKey(key_, tooLong.get(), 0, REG_DWORD, &data, sizeof(data)));
    Wide longest(std::u16string(16383, u'v'));
    EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(key_, longest.get(), 0, REG_DWORD, &data, sizeof(data)));
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteValueKey(key_, longest.get()));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, ZwDeleteValueKey(key_, longest.get()));
}

// ZwEnumerateKey answers only the basic, node and full classes (documented); ZwQueryKey answers
// the others too.
TEST_F(RegistryQueryTest, EnumerationAnswersOnlyTheBasicNodeAndFullClasses)
{
    HANDLE parent = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&parent, u"\\REGISTRY\\MACHINE\\SOFTWARE"));
    const struct {
        KEY_INFORMATION_CLASS informationClass;
        NTSTATUS enumerated;
    } rows[] = {
        {KeyBasicInformation, STATUS_SUCCESS},          {KeyNodeInformation, STATUS_SUCCESS},
        {KeyFullInformation, STATUS_SUCCESS},           {KeyNameInformation, STATUS_INVALID_PARAMETER},
        {KeyCachedInformation, STATUS_INVALID_PARAMETER}, {KeyFlagsInformation, STATUS_INVALID_PARAMETER},
        {KeyVirtualizationInformation, STATUS_INVALID_PARAMETER},
        {KeyHandleTagsInformation, STATUS_INVALID_PARAMETER},
    };
    for (const auto& row : rows) {
        UCHAR buffer[512];
        ULONG length = 0;
        EXPECT_EQ(row.enumerated, ZwEnumerateKey(parent, 0, row.informationClass, buffer, sizeof(buffer), &length))
            << "class " << row.informationClass;
        EXPECT_EQ(STATUS_SUCCESS, ZwQueryKey(key_, row.informationClass, buffer, sizeof(buffer), &length))
            << "class " << row.informationClass;
    }
    (void)ZwClose(parent);
}

// ZwQuerySecurityObject on a key: the self-relative descriptor, or STATUS_BUFFER_TOO_SMALL with the
// length needed and nothing written; ZwSetSecurityObject changes what later queries read.
TEST_F(RegistryQueryTest, KeySecurityQueriesFollowTheBufferRules)
{
    const SECURITY_INFORMATION asked = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    ULONG needed = 0;
    ASSERT_EQ(STATUS_BUFFER_TOO_SMALL, ZwQuerySecurityObject(key_, asked, nullptr, 0, &needed));
    ASSERT_GT(needed, sizeof(SECURITY_DESCRIPTOR_RELATIVE));
    const BufferCase cases[] = {
        {"one byte short", needed - 1, STATUS_BUFFER_TOO_SMALL},
        {"exactly the length needed", needed, STATUS_SUCCESS},
        {"more than needed", needed + 8, STATUS_SUCCESS},
    };
    for (const BufferCase& c : cases) {
        std::vector<UCHAR> buffer(needed + 8, 0xBD);
        ULONG length = 0;
        EXPECT_EQ(c.expected, ZwQuerySecurityObject(key_, asked, buffer.data(), c.length, &length)) << c.probe;
        EXPECT_EQ(needed, length) << c.probe;
        if (c.expected == STATUS_SUCCESS) {
            EXPECT_TRUE(RtlValidSecurityDescriptor(buffer.data())) << c.probe;
            EXPECT_EQ(needed, RtlLengthSecurityDescriptor(buffer.data())) << c.probe;
        } else {
            EXPECT_EQ(std::vector<UCHAR>(buffer.size(), 0xBD), buffer) << c.probe << ": nothing written";
        }
    }

    // An empty DACL set on the key reads back.
    UCHAR aclBuffer[sizeof(ACL)];
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateAcl(reinterpret_cast<PACL>(aclBuffer), sizeof(aclBuffer), ACL_REVISION));
    SECURITY_DESCRIPTOR absolute;
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_EQ(STATUS_SUCCESS, RtlSetDaclSecurityDescriptor(&absolute, TRUE, reinterpret_cast<PACL>(aclBuffer), FALSE));
    ASSERT_EQ(STATUS_SUCCESS, ZwSetSecurityObject(key_, DACL_SECURITY_INFORMATION, &absolute));
    std::vector<UCHAR> buffer(256);
    ASSERT_EQ(STATUS_SUCCESS,
              ZwQuerySecurityObject(key_, DACL_SECURITY_INFORMATION, buffer.data(), (ULONG)buffer.size(), &needed));
    BOOLEAN present = FALSE;
    BOOLEAN defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(buffer.data(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(nullptr, dacl);
    EXPECT_EQ(0, dacl->AceCount);
}

TEST_F(RegistryQueryTest, KernelCallersBreakingTheContractStopTheMachine)
{
    EXPECT_DEATH((void)ZwQueryKey(key_, KeyBasicInformation, nullptr, 0, nullptr), "null ResultLength");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            (void)ZwFlushKey(key_);
        },
        "STOP: ZwFlushKey called at IRQL 1: the registry routines run at PASSIVE_LEVEL only");
}

TEST_F(RegistryQueryTest, HandlesOfOtherTypesAndClosedHandlesAreRefused)
{
    ULONG length = 0;
    UCHAR buffer[64];
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwQueryKey(nullptr, KeyBasicInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwFlushKey(nullptr));
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH,
              ZwQueryKey(NtCurrentProcess(), KeyBasicInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(STATUS_SUCCESS, ZwFlushKey(key_));
    // ZwWaitForSingleObject waits on events and threads only.
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, ZwWaitForSingleObject(key_, FALSE, nullptr));
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwWaitForSingleObject(nullptr, FALSE, nullptr));
}

}  // namespace
}  // namespace vextest
