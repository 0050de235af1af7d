// Full names of names relative to a key object: real key objects of the simulated registry,
// created and referenced as a kernel component does, named by CmCallbackGetKeyObjectID.
#include "names/names.h"

#include "driver/global.h"
#include "sim/cm/registry_host.h"
#include "tests/support/kernel_key.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/redirect_config.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using vextest::KernelKey;
using vextest::Utf8;
using vextest::Wide;

const std::u16string kSilo = u"Silo0a1b2c3d-0000-1111-2222-333344445555";

class RelativeFullNameTest : public vextest::DriverTest {
protected:
    // The name routines run inside the driver's registry callback and name key objects with its
    // cookie: a callback that lets everything pass stands in for the one redirection registers.
    void SetUp() override
    {
        DriverTest::SetUp();
        vextest::ConfigureRedirectNames();
        ASSERT_EQ(STATUS_SUCCESS, CmRegisterCallbackEx(&PassThrough, &g_VexRegFilterData.Altitude, g_VexRegFilterData.DriverObject,
                                                       nullptr, &g_VexRegFilterData.CallbackCookie, nullptr));
    }
    void TearDown() override
    {
        if (g_VexRegFilterData.CallbackCookie.QuadPart != 0) {
            EXPECT_EQ(STATUS_SUCCESS, CmUnRegisterCallback(g_VexRegFilterData.CallbackCookie));
            g_VexRegFilterData.CallbackCookie.QuadPart = 0;
        }
        DriverTest::TearDown();
    }
    static NTSTATUS NTAPI PassThrough(PVOID, PVOID, PVOID) { return STATUS_SUCCESS; }
    // The full name of objectName relative to the key object rootObject.
    static NTSTATUS FullName(PVOID rootObject, const std::u16string& objectName, std::u16string& full)
    {
        Wide name(objectName);
        UNICODE_STRING result = {};
        NTSTATUS status = CreateFullName(&g_VexRegFilterData.CallbackCookie, rootObject, name.get(), &result);
        full = vextest::Text(&result);
        FreeOwnedString(&result);
        return status;
    }
};

TEST_F(RelativeFullNameTest, JoinsTheRootNameAndFoldsTheResult)
{
    // A container's hives are loaded below \REGISTRY\WC, not created there.
    ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadContainerHive(kSilo + u"user_classes"));
    ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadContainerHive(kSilo + u"user_sid"));
    const std::u16string silo = u"\\REGISTRY\\WC\\" + kSilo;
    struct Row {
        std::u16string root, name, full;
    } rows[] = {
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Other", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Sample", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Sample"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE", u"Sample\\Demo", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Sample\\Demo"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Sample", u"", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Sample\\"},
        {u"\\REGISTRY\\MACHINE", u"\\REGISTRY", u"\\REGISTRY\\MACHINE\\\\REGISTRY"},  // nine characters are not an absolute name
        {silo + u"user_classes", u"CLSID", u"\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Classes\\CLSID"},
        {silo + u"user_sid\\Software\\Classes", u".txt", u"\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Classes\\.txt"},
        {silo + u"user_sid", u"Software\\Sample", u"\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Sample"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Tessaline", u"VexRegFilter\\Parameters",
         u"\\REGISTRY\\MACHINE\\SOFTWARE\\Tessaline\\VexRegFilter\\Parameters"},
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services", u"Sample", u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Sample"},
        // Opened through the link: the object is named by where the link led.
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services", u"Sample",
         u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Sample"},
    };
    for (const Row& row : rows) {
        KernelKey root;
        ASSERT_EQ(STATUS_SUCCESS, root.CreatePath(row.root)) << Utf8(row.root);
        std::u16string full;
        vexsim::ClearDebugOutput();
        g_VexRegFilterData.DebugLogFlags = DEBUG_FLAG_TRACE;
        EXPECT_EQ(STATUS_SUCCESS, FullName(root.object(), row.name, full)) << Utf8(row.root) << " + " << Utf8(row.name);
        g_VexRegFilterData.DebugLogFlags = 0;
        EXPECT_EQ(Utf8(row.full), Utf8(full)) << Utf8(row.root) << " + " << Utf8(row.name);
        // A relative name's trace names the root it is read against.
        const bool absolute = row.name.rfind(u"\\REGISTRY\\", 0) == 0;
        EXPECT_EQ(!absolute, vextest::HasDebugLine("VexRegFilter - CreateFullName() [RootName] : \\REGISTRY\\")) << Utf8(row.name);
    }
}

TEST_F(RelativeFullNameTest, FailuresToNameTheRootAreReturnedWithNothingAllocated)
{
    KernelKey key;
    ASSERT_EQ(STATUS_SUCCESS, key.Create(u"\\REGISTRY\\MACHINE\\SOFTWARE"));
    LARGE_INTEGER unregistered = {};
    unregistered.QuadPart = g_VexRegFilterData.CallbackCookie.QuadPart + 1;
    Wide name(u"Sample");
    struct Row {
        const char* what;
        PLARGE_INTEGER cookie;
        PVOID root;
        NTSTATUS status;
    } rows[] = {
        {"no root object", &g_VexRegFilterData.CallbackCookie, nullptr, STATUS_INVALID_PARAMETER},
        {"a process is no key object", &g_VexRegFilterData.CallbackCookie, PsGetCurrentProcess(), STATUS_INVALID_PARAMETER},
        {"a cookie no callback was registered with", &unregistered, key.object(), STATUS_INVALID_PARAMETER},
    };
    size_t before = vextest::LivePoolAllocations();
    for (const Row& row : rows) {
        UNICODE_STRING full = {};
        EXPECT_EQ(row.status, CreateFullName(row.cookie, row.root, name.get(), &full)) << row.what;
        EXPECT_EQ(nullptr, full.Buffer) << row.what;
        EXPECT_EQ(before, vextest::LivePoolAllocations()) << row.what;
    }
}

TEST_F(RelativeFullNameTest, AJoinLongerThanACountedStringIsRefused)
{
    // 80 levels of 250 characters below SOFTWARE: a root name of 20,106 characters.
    std::u16string rootName = u"\\REGISTRY\\MACHINE\\SOFTWARE";
    for (int level = 0; level < 80; level++) {
        rootName += u"\\" + std::u16string(250, static_cast<char16_t>(u'a' + level % 26));
    }
    KernelKey root;
    ASSERT_EQ(STATUS_SUCCESS, root.CreatePath(rootName));
    std::u16string full;
    EXPECT_EQ(STATUS_NAME_TOO_LONG, FullName(root.object(), std::u16string(13000, u'n'), full));
    EXPECT_TRUE(full.empty());
    // The longest counted string holds 32,767 characters: root, separator and name make exactly that.
    const size_t longest = 32767 - rootName.size() - 1;
    EXPECT_EQ(STATUS_SUCCESS, FullName(root.object(), std::u16string(longest, u'n'), full));
    EXPECT_EQ(32767u, full.size());
    EXPECT_EQ(STATUS_NAME_TOO_LONG, FullName(root.object(), std::u16string(longest + 1, u'n'), full));
    EXPECT_TRUE(full.empty());
}

TEST_F(RelativeFullNameTest, EveryAllocationFailureOfARelativeGetRegistryPathLeavesAllThreeEmpty)
{
    KernelKey root;
    ASSERT_EQ(STATUS_SUCCESS, root.CreatePath(std::u16string(vextest::kRedirectRoot) + u"\\MACHINE\\SOFTWARE"));
    Wide name(u"Sample\\Demo");
    UNICODE_STRING full = {}, original = {}, redirect = {};
    size_t before = vextest::LivePoolAllocations();
    NTSTATUS last = vextest::ForEachAllocationFailure(
        [&] { return GetRegistryPath(&g_VexRegFilterData.CallbackCookie, root.object(), name.get(), &full, &original, &redirect); },
        [&](NTSTATUS status, int failing) {
            // A silo-pattern test whose copy fails answers "no match", which changes nothing for
            // this name and is no failure of the whole.
            if (NT_SUCCESS(status)) {
                EXPECT_EQ(Utf8(std::u16string(vextest::kRedirectRoot) + u"\\MACHINE\\SOFTWARE\\Sample\\Demo"), Utf8(vextest::Text(&redirect)))
                    << "allocation " << failing;
                FreeOwnedString(&full);
                FreeOwnedString(&original);
                FreeOwnedString(&redirect);
                return;
            }
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << "allocation " << failing;
            EXPECT_TRUE(full.Buffer == nullptr && original.Buffer == nullptr && redirect.Buffer == nullptr) << "allocation " << failing;
            EXPECT_EQ(before, vextest::LivePoolAllocations()) << "allocation " << failing;
        });
    ASSERT_EQ(STATUS_SUCCESS, last);
    EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Sample\\Demo", Utf8(vextest::Text(&original)));
    EXPECT_EQ(Utf8(std::u16string(vextest::kRedirectRoot) + u"\\MACHINE\\SOFTWARE\\Sample\\Demo"), Utf8(vextest::Text(&redirect)));
    FreeOwnedString(&full);
    FreeOwnedString(&original);
    FreeOwnedString(&redirect);
}

}  // namespace
