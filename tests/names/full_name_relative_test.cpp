// Full names of names relative to a key object. The key objects are stand-ins until the simulated
// configuration manager provides real ones; see tests/support/key_object_name_standin.h.
#include "names/names.h"

#include "driver/global.h"
#include "tests/support/key_object_name_standin.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/redirect_config.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using vextest::Utf8;
using vextest::Wide;

class RelativeFullNameTest : public vextest::DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        vextest::ConfigureRedirectNames();
    }
    // The full name of objectName relative to a key object named rootName.
    NTSTATUS FullName(const std::u16string& rootName, const std::u16string& objectName, std::u16string& full, USHORT* capacity = nullptr)
    {
        Wide root(rootName), name(objectName);
        vextest::StandInKeyObject key = {*root.get(), STATUS_SUCCESS};
        UNICODE_STRING result = {};
        NTSTATUS status = CreateFullName(&g_VexRegFilterData.CallbackCookie, &key, name.get(), &result);
        if (capacity != nullptr) {
            *capacity = result.MaximumLength;
        }
        full = vextest::Text(&result);
        FreeOwnedString(&result);
        return status;
    }
};

TEST_F(RelativeFullNameTest, JoinsTheRootNameAndFoldsTheResult)
{
    const std::u16string silo = u"\\REGISTRY\\WC\\Silo0a1b2c3d-0000-1111-2222-333344445555";
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
    };
    for (const Row& row : rows) {
        std::u16string full;
        EXPECT_EQ(STATUS_SUCCESS, FullName(row.root, row.name, full)) << Utf8(row.root) << " + " << Utf8(row.name);
        EXPECT_EQ(Utf8(row.full), Utf8(full)) << Utf8(row.root) << " + " << Utf8(row.name);
    }
}

TEST_F(RelativeFullNameTest, ARootNameEndingInASeparatorGetsNoSecond)
{
    std::u16string full;
    USHORT capacity = 0;
    ASSERT_EQ(STATUS_SUCCESS, FullName(u"\\REGISTRY\\MACHINE\\", u"SOFTWARE", full, &capacity));
    EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE", Utf8(full));
    EXPECT_EQ(full.size() * sizeof(WCHAR) + 2, capacity);
}

TEST_F(RelativeFullNameTest, PlatformFailuresAreReturnedWithNothingAllocated)
{
    size_t before = vextest::LivePoolAllocations();
    Wide name(u"Sample");
    UNICODE_STRING full = {};
    vextest::StandInKeyObject failing = {{}, STATUS_OBJECT_TYPE_MISMATCH};
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, CreateFullName(&g_VexRegFilterData.CallbackCookie, &failing, name.get(), &full));
    vextest::StandInKeyObject nameless = {{}, STATUS_SUCCESS};
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, CreateFullName(&g_VexRegFilterData.CallbackCookie, &nameless, name.get(), &full));
    EXPECT_EQ(nullptr, full.Buffer);
    EXPECT_EQ(before, vextest::LivePoolAllocations());
}

TEST_F(RelativeFullNameTest, AJoinLongerThanACountedStringIsRefused)
{
    std::u16string root = u"\\REGISTRY\\MACHINE\\SOFTWARE\\" + std::u16string(20000, u'r');
    std::u16string full;
    EXPECT_EQ(STATUS_NAME_TOO_LONG, FullName(root, std::u16string(13000, u'n'), full));
    EXPECT_TRUE(full.empty());
    // Just inside the limit: root, separator and name make 32,767 characters.
    EXPECT_EQ(STATUS_SUCCESS, FullName(root, std::u16string(32767 - root.size() - 1 - 1, u'n'), full));
    EXPECT_EQ(32766u, full.size());
}

TEST_F(RelativeFullNameTest, EveryAllocationFailureOfARelativeGetRegistryPathLeavesAllThreeEmpty)
{
    Wide root(std::u16string(vextest::kRedirectRoot) + u"\\MACHINE\\SOFTWARE"), name(u"Sample\\Demo");
    vextest::StandInKeyObject key = {*root.get(), STATUS_SUCCESS};
    UNICODE_STRING full = {}, original = {}, redirect = {};
    size_t before = vextest::LivePoolAllocations();
    NTSTATUS last = vextest::ForEachAllocationFailure(
        [&] { return GetRegistryPath(&g_VexRegFilterData.CallbackCookie, &key, name.get(), &full, &original, &redirect); },
        [&](NTSTATUS status, int failing) {
            // A pattern test whose copy fails answers "no match", which is no failure of the whole.
            if (NT_SUCCESS(status)) {
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
