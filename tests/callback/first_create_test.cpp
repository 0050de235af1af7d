// A sandboxed program's first touch of a key may be the create of a new subkey: the copy of the
// parent's path is made on the way, so the create succeeds as it would outside the sandbox.
#include "tests/support/sandbox_session.h"

#include <gtest/gtest.h>

namespace {

using namespace vextest;

// Known gap: the create answers STATUS_OBJECT_NAME_NOT_FOUND unless the parent was opened (and so
// copied) first. A key with no real counterpart is made alone, below a parent copy that must
// exist; making the parent's copy on the way must not bring back a parent the sandbox deleted.
TEST(FirstCreateTest, DISABLED_ACreateBelowAKeyNotYetCopiedSucceeds)
{
    SandboxSession session;
    session.Begin("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App]\r\n");
    HANDLE key = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, session.sandboxed.Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App\\New", &key));
    if (key != nullptr) {
        EXPECT_EQ(STATUS_SUCCESS, session.sandboxed.Close(key));
    }
    EXPECT_TRUE(session.End().empty());
}

}  // namespace
