// A sandboxed program's first touch of a key may be the create of a new subkey. The create answers
// as the program's view of the parent decides: a real parent the sandbox never used is copied on
// the way, so the create succeeds as it would outside the sandbox, while a parent the sandbox
// deleted, or one that exists nowhere, stays missing.
#include "tests/support/sandbox_session.h"

#include <gtest/gtest.h>

namespace {

using namespace vextest;

const std::u16string kVendor = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor";

const std::string kRealRegistry =
    "REGEDIT4\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App]\r\n\"v\"=dword:00000007\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Sub1]\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Sub2]\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Empty]\r\n";

TEST(FirstCreateTest, ACreateBelowAKeyNotYetCopiedAnswersAsTheSandboxSeesTheParent)
{
    const struct {
        const char* what;
        std::u16string parent;
        bool deleteParentFirst;
        NTSTATUS status;
    } rows[] = {
        {"a real parent never used", kVendor + u"\\App", false, STATUS_SUCCESS},
        {"a parent the sandbox deleted", kVendor + u"\\Empty", true, STATUS_OBJECT_NAME_NOT_FOUND},
        {"a parent that exists nowhere", kVendor + u"\\Nowhere", false, STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        SandboxSession session;
        session.Begin(kRealRegistry);
        const Program& sandboxed = session.sandboxed;
        HANDLE key = nullptr;
        if (row.deleteParentFirst) {
            ASSERT_EQ(STATUS_SUCCESS, sandboxed.Open(row.parent, KEY_ALL_ACCESS, &key));
            EXPECT_EQ(STATUS_SUCCESS, sandboxed.DeleteKey(key));
            EXPECT_EQ(STATUS_SUCCESS, sandboxed.Close(key));
        }
        EXPECT_EQ(row.status, sandboxed.Create(row.parent + u"\\New", &key));
        if (key != nullptr) {
            EXPECT_EQ(STATUS_SUCCESS, sandboxed.Close(key));
        }

        NTSTATUS opened = sandboxed.Open(row.parent, KEY_READ, &key);
        if (row.status == STATUS_SUCCESS) {
            // The parent shows its real subkeys and value, and the new key.
            ASSERT_EQ(STATUS_SUCCESS, opened);
            ULONG subkeys = 0, values = 0, data = 0;
            NTSTATUS valuesStatus = STATUS_SUCCESS;
            EXPECT_EQ(STATUS_NO_MORE_ENTRIES, sandboxed.Enumerate(key, &subkeys, &values, &valuesStatus));
            EXPECT_EQ(3u, subkeys);
            EXPECT_EQ(1u, values);
            EXPECT_EQ(STATUS_SUCCESS, sandboxed.QueryValue(key, u"v", &data));
            EXPECT_EQ(7u, data);
            EXPECT_EQ(STATUS_SUCCESS, sandboxed.Close(key));
        } else {
            EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, opened) << "the parent stays missing";
        }
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, session.outsider.Open(row.parent + u"\\New", KEY_READ, &key))
            << "the real registry is unchanged";
        EXPECT_TRUE(session.End().empty());
    }
}

}  // namespace
