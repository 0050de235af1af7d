// The machine the copy-on-write tests run on: the driver loaded, the redirect names configured,
// the redirect roots created, and a registry callback registered in the driver's name, as
// redirection does before anything is copied. The callback lets every operation pass and counts
// the opens and creates that reach the registry, so a test can tell how many calls a walk made, and
// can make one chosen operation fail.
#pragma once

#include "cow/cow.h"

#include "common/name_buffer.h"
#include "driver/global.h"
#include "tables/key_lists.h"
#include "tests/support/kernel_key.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/redirect_config.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vextest {

const std::u16string R = kRedirectRoot;
const std::u16string kSoftware = u"\\REGISTRY\\MACHINE\\SOFTWARE";
const std::u16string kInternetSettings = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// "\REGISTRY\MACHINE\SOFTWARE\D" followed by components "L4", "L5", ... up to `levels`
// separators (the name counts \REGISTRY as its first level).
inline std::u16string DeepName(size_t levels)
{
    std::u16string name = kSoftware + u"\\D";
    for (size_t level = 5; level <= levels; level++) {
        name += u"\\L" + Utf16(std::to_string(level));
    }
    return name;
}

// A value as a test writes and reads it.
struct TestValue {
    std::u16string name;
    ULONG type;
    std::vector<UCHAR> data;
    bool operator==(const TestValue&) const = default;
};

inline TestValue Dword(std::u16string name, ULONG value)
{
    return {std::move(name), REG_DWORD, std::vector<UCHAR>((UCHAR*)&value, (UCHAR*)&value + sizeof(value))};
}

class CowTest : public DriverTest {
protected:
    CowTest() { config.userSids.push_back(Utf8(kUserSid)); }

    void SetUp() override
    {
        DriverTest::SetUp();
        ConfigureRedirectNames();
        SetOwnedName(g_VexRegFilterData.RedirectInternetSettingsKey, R + u"\\USER\\" + kUserSid + kInternetSettings, false);
        ASSERT_EQ(STATUS_SUCCESS, CmRegisterCallbackEx(&Counter, &g_VexRegFilterData.Altitude, g_VexRegFilterData.DriverObject,
                                                       nullptr, &g_VexRegFilterData.CallbackCookie, nullptr));
        for (const std::u16string& root : {R, std::u16string(kRedirectUserClasses), std::u16string(kRedirectMachineClasses)}) {
            KernelKey key;
            ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(root));
        }
        ClearDebugOutput();
    }
    void TearDown() override
    {
        hook = nullptr;
        failCountdown = 0;
        if (g_VexRegFilterData.CallbackCookie.QuadPart != 0) {
            EXPECT_EQ(STATUS_SUCCESS, CmUnRegisterCallback(g_VexRegFilterData.CallbackCookie));
            g_VexRegFilterData.CallbackCookie.QuadPart = 0;
        }
        DriverTest::TearDown();
    }
    static void ClearDebugOutput() { vexsim::ClearDebugOutput(); }

    // Opens and creates that reached the registry while counting was on.
    static inline std::atomic<int> opens{0};
    static inline std::atomic<int> creates{0};
    static inline std::atomic<bool> counting{false};
    // An action run once inside the next registry operation of hookClass, before the registry
    // acts on it.
    static inline std::function<void()> hook;
    static inline REG_NOTIFY_CLASS hookClass;
    static NTSTATUS NTAPI Counter(PVOID, PVOID Argument1, PVOID)
    {
        REG_NOTIFY_CLASS notifyClass = (REG_NOTIFY_CLASS)(ULONG_PTR)Argument1;
        if (counting.load()) {
            opens += notifyClass == RegNtPreOpenKeyEx;
            creates += notifyClass == RegNtPreCreateKeyEx;
        }
        if (notifyClass == hookClass && hook) {
            auto once = std::move(hook);
            hook = nullptr;
            once();
        }
        if (notifyClass == failClass && failCountdown > 0 && --failCountdown == 0) {
            return failStatus;
        }
        return STATUS_SUCCESS;
    }
    // The nth registry operation of notifyClass from now (n = 1: the next) fails with status
    // before the registry acts on it, as another filter's callback may make it fail.
    static inline REG_NOTIFY_CLASS failClass;
    static inline int failCountdown = 0;
    static inline NTSTATUS failStatus;
    static void FailNth(REG_NOTIFY_CLASS notifyClass, int n, NTSTATUS status)
    {
        failClass = notifyClass;
        failCountdown = n;
        failStatus = status;
    }
    static void HookNext(REG_NOTIFY_CLASS notifyClass, std::function<void()> action)
    {
        hookClass = notifyClass;
        hook = std::move(action);
    }
    static void StartCounting()
    {
        opens = 0;
        creates = 0;
        counting = true;
    }

    // Creates every missing key of an absolute name of any depth and sets the values.
    static void Make(const std::u16string& name, const std::vector<TestValue>& values = {})
    {
        KernelKey key;
        ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(name)) << Utf8(name);
        for (const TestValue& value : values) {
            Wide valueName(value.name);
            ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key.handle(), valueName.get(), 0, value.type, (PVOID)value.data.data(),
                                                    (ULONG)value.data.size()));
        }
    }

    // Opens an absolute name of any depth one level at a time, without the code under test.
    static NTSTATUS OpenPath(const std::u16string& name, HANDLE* handle, ULONG attributes = OBJ_CASE_INSENSITIVE)
    {
        *handle = nullptr;
        size_t end = name.find(u'\\', 10);
        std::u16string first = name.substr(0, end);
        Wide firstName(first);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, firstName.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        NTSTATUS status = ZwOpenKey(handle, KEY_ALL_ACCESS, &oa);
        while (NT_SUCCESS(status) && end != std::u16string::npos && end + 1 < name.size()) {
            size_t start = end + 1;
            end = name.find(u'\\', start);
            Wide level(name.substr(start, end == std::u16string::npos ? end : end - start));
            HANDLE next = nullptr;
            InitializeObjectAttributes(&oa, level.get(), attributes | OBJ_KERNEL_HANDLE, *handle, nullptr);
            status = ZwOpenKey(&next, KEY_ALL_ACCESS, &oa);
            (void)ZwClose(*handle);
            *handle = next;
        }
        if (!NT_SUCCESS(status)) {
            *handle = nullptr;
        }
        return status;
    }
    static bool Exists(const std::u16string& name)
    {
        HANDLE handle;
        if (!NT_SUCCESS(OpenPath(name, &handle))) {
            return false;
        }
        (void)ZwClose(handle);
        return true;
    }

    // The full name of the key a handle is open on.
    static std::u16string NameOf(HANDLE handle)
    {
        std::vector<UCHAR> buffer(70000);
        ULONG length = 0;
        if (!NT_SUCCESS(ZwQueryKey(handle, KeyNameInformation, buffer.data(), (ULONG)buffer.size(), &length))) {
            return u"<no name>";
        }
        auto info = (PKEY_NAME_INFORMATION)buffer.data();
        return std::u16string((const char16_t*)info->Name, info->NameLength / sizeof(WCHAR));
    }

    static ULONG KeyFlagsOf(const std::u16string& name)
    {
        HANDLE handle;
        KEY_FLAGS_INFORMATION flags = {};
        ULONG length = 0;
        EXPECT_EQ(STATUS_SUCCESS, OpenPath(name, &handle)) << Utf8(name);
        EXPECT_EQ(STATUS_SUCCESS, ZwQueryKey(handle, KeyFlagsInformation, &flags, sizeof(flags), &length));
        (void)ZwClose(handle);
        return flags.KeyFlags;
    }
    static bool IsVolatile(const std::u16string& name) { return (KeyFlagsOf(name) & REG_FLAG_VOLATILE) != 0; }

    // The values of a key in their order.
    static std::vector<TestValue> ValuesOf(const std::u16string& name)
    {
        std::vector<TestValue> values;
        HANDLE handle;
        if (!NT_SUCCESS(OpenPath(name, &handle))) {
            return values;
        }
        std::vector<UCHAR> buffer(4096);
        ULONG length = 0;
        for (ULONG index = 0;
             ZwEnumerateValueKey(handle, index, KeyValueFullInformation, buffer.data(), (ULONG)buffer.size(), &length) == STATUS_SUCCESS;
             index++) {
            auto info = (PKEY_VALUE_FULL_INFORMATION)buffer.data();
            const UCHAR* data = buffer.data() + info->DataOffset;
            values.push_back({std::u16string((const char16_t*)info->Name, info->NameLength / sizeof(WCHAR)), info->Type,
                              std::vector<UCHAR>(data, data + info->DataLength)});
        }
        (void)ZwClose(handle);
        return values;
    }

    // The names of a key's subkeys in their order.
    static std::vector<std::u16string> SubkeysOf(const std::u16string& name)
    {
        std::vector<std::u16string> subkeys;
        HANDLE handle;
        if (!NT_SUCCESS(OpenPath(name, &handle))) {
            return subkeys;
        }
        std::vector<UCHAR> buffer(1024);
        ULONG length = 0;
        for (ULONG index = 0;
             ZwEnumerateKey(handle, index, KeyBasicInformation, buffer.data(), (ULONG)buffer.size(), &length) == STATUS_SUCCESS;
             index++) {
            auto info = (PKEY_BASIC_INFORMATION)buffer.data();
            subkeys.emplace_back((const char16_t*)info->Name, info->NameLength / sizeof(WCHAR));
        }
        (void)ZwClose(handle);
        return subkeys;
    }

    // Deletes a key and everything below it.
    static void DeleteTree(const std::u16string& name)
    {
        for (const std::u16string& subkey : SubkeysOf(name)) {
            DeleteTree(name + u"\\" + subkey);
        }
        HANDLE key;
        ASSERT_EQ(STATUS_SUCCESS, OpenPath(name, &key, OBJ_CASE_INSENSITIVE | OBJ_OPENLINK)) << Utf8(name);
        EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(key)) << Utf8(name);
        (void)ZwClose(key);
    }

    static bool InHistory(CACHE_TABLE& table, const std::u16string& name)
    {
        Wide key(name);
        return RegistryHistoryExists(&table, key.get(), nullptr, nullptr);
    }
};

}  // namespace vextest
