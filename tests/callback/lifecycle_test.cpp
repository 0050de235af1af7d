// The first open of a key when the pool runs out at any point of it, and unload while sandboxed
// programs still hold keys of their copies.
#include "tests/callback/callback_fixture.h"

#include "cow/cow.h"
#include "tables/builtin_lists.h"
#include "tables/cache_table.h"

namespace {

using namespace vextest;

const std::u16string kReal = kSoftware + u"\\Walk";
const std::u16string kCopy = kRoot + u"\\MACHINE\\SOFTWARE\\Walk";

// Deletes a key with everything below it, as the system would.
NTSTATUS DeleteTree(HANDLE key)
{
    std::vector<UCHAR> buffer(512);
    ULONG length = 0;
    while (ZwEnumerateKey(key, 0, KeyBasicInformation, buffer.data(), (ULONG)buffer.size(), &length) == STATUS_SUCCESS) {
        auto* info = (PKEY_BASIC_INFORMATION)buffer.data();
        KernelKey child;
        NTSTATUS status = child.Create(std::u16string((const char16_t*)info->Name, info->NameLength / sizeof(WCHAR)), key);
        if (!NT_SUCCESS(status) || !NT_SUCCESS(status = DeleteTree(child.handle()))) {
            return status;
        }
    }
    return ZwDeleteKey(key);
}

class LifecycleTest : public CallbackTest {
protected:
    void SetUp() override
    {
        CallbackTest::SetUp();
        KernelKey real;
        ASSERT_EQ(STATUS_SUCCESS, real.CreatePath(kReal));
        for (const char16_t* name : {u"one", u"two", u"three"}) {
            KernelKey child;
            ASSERT_EQ(STATUS_SUCCESS, child.Create(name, real.handle()));
            Wide value(name);
            ULONG data = 3;
            ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(real.handle(), value.get(), 0, REG_DWORD, &data, sizeof(data)));
        }
    }

    // The copy as the program sees it, opened and closed again.
    NTSTATUS OpenAndClose()
    {
        HANDLE key = nullptr;
        NTSTATUS status = Open(sandboxed, kReal, KEY_READ, &key);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, key));
        }
        return status;
    }
    // What the copy itself holds.
    std::pair<size_t, size_t> CopyCounts()
    {
        KernelKey copy;
        if (!NT_SUCCESS(copy.Create(kCopy))) {
            return {0, 0};
        }
        UCHAR buffer[256];
        ULONG length = 0;
        EXPECT_EQ(STATUS_SUCCESS, ZwQueryKey(copy.handle(), KeyFullInformation, buffer, sizeof(buffer), &length));
        auto* full = (PKEY_FULL_INFORMATION)buffer;
        return {full->SubKeys, full->Values};
    }
    // Back to before the first open: no copy, empty histories, an empty log.
    void Forget()
    {
        KernelKey copy;
        if (NT_SUCCESS(copy.Create(kCopy))) {
            EXPECT_EQ(STATUS_SUCCESS, DeleteTree(copy.handle()));
        }
        for (PCACHE_TABLE table : {&g_VexRegFilterData.CopyKeyHistory, &g_VexRegFilterData.CopySubkeyHistory,
                                   &g_VexRegFilterData.DifferenceHistory}) {
            EXPECT_EQ(STATUS_SUCCESS, CTDeleteAllElements(table));
        }
        (void)Records();
    }
};

// Wherever the pool runs out during a first open, the program gets a clear answer, nothing is
// left allocated, and the next open gives it the whole copy.
TEST_F(LifecycleTest, AFirstOpenThatRunsOutOfPoolLeavesACopyALaterOpenCompletes)
{
    const size_t baseline = LivePoolAllocations();
    NTSTATUS last = ForEachAllocationFailure([&] { return OpenAndClose(); },
                                             [&](NTSTATUS status, int failing) {
                                                 EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES)
                                                     << "allocation " << failing << ": " << std::hex << status;
                                                 EXPECT_EQ(STATUS_SUCCESS, OpenAndClose()) << "allocation " << failing;
                                                 EXPECT_EQ((std::pair<size_t, size_t>{3, 3}), CopyCounts()) << "allocation " << failing;
                                                 Forget();
                                                 EXPECT_EQ(baseline, LivePoolAllocations()) << "allocation " << failing;
                                             });
    EXPECT_EQ(STATUS_SUCCESS, last);
    EXPECT_EQ((std::pair<size_t, size_t>{3, 3}), CopyCounts());
}

// Unloading with redirected keys open and the prepared-key threads started: the threads stop, the
// configuration manager cleans every context up when the callback goes, the hive list lets its
// root keys go, and nothing of the driver is left; the programs' keys stay usable and close
// without the driver.
TEST_F(LifecycleTest, UnloadWithRedirectedKeysOpenLeavesNothingBehind)
{
    HANDLE keys[4] = {};
    ASSERT_EQ(STATUS_SUCCESS, Open(sandboxed, kReal, KEY_READ, &keys[0]));
    ASSERT_EQ(STATUS_SUCCESS, Open(sandboxed, kUser + u"\\Software", KEY_ALL_ACCESS, &keys[3]));
    ASSERT_EQ(STATUS_SUCCESS, Create(sandboxed, u"Unload", &keys[1], nullptr, keys[3]));
    HANDLE hiveRoot = nullptr;
    PVOID rootObject = nullptr;
    {
        vexsim::UserModeScope user(sandboxed);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadApplicationHive(KEY_ALL_ACCESS, &hiveRoot));
        ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(hiveRoot, 0, *CmKeyObjectType, UserMode, &rootObject, nullptr));
    }
    HANDLE kernelRoot = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(rootObject, OBJ_KERNEL_HANDLE, nullptr, KEY_ALL_ACCESS, nullptr, KernelMode,
                                                    &kernelRoot));
    ObDereferenceObject(rootObject);
    {
        KernelKey inside;
        ASSERT_EQ(STATUS_SUCCESS, inside.Create(u"Inside", kernelRoot));
    }
    (void)ZwClose(kernelRoot);
    ASSERT_EQ(STATUS_SUCCESS, Open(sandboxed, u"Inside", KEY_ALL_ACCESS, &keys[2], hiveRoot));
    EXPECT_FALSE(AHLIsEmpty());
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    ASSERT_NE(nullptr, data->UserClassesEnumThread) << "the start made the prepared-key threads";
    ASSERT_NE(nullptr, data->MachineClassesEnumThread);

    vexsim::UnloadResult result = vexsim::UnloadDriver();
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);

    EXPECT_EQ(STATUS_SUCCESS, SetDword(sandboxed, keys[1], u"after", 1));
    for (HANDLE key : keys) {
        EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, key));
    }
    EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, hiveRoot));
}

}  // namespace
