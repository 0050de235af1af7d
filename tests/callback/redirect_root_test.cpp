// The redirect roots stay where the service put them: a sandboxed program that holds one of them
// (as the key it stands for) can neither rename it, which would move the whole copy out of the
// roots, nor delete it.
#include "tests/support/containment.h"
#include "tests/support/sandbox_session.h"

#include <gtest/gtest.h>

namespace {

using namespace vextest;

TEST(RedirectRootTest, ASandboxedProgramCannotRenameOrDeleteARoot)
{
    SandboxSession session;
    session.Begin("REGEDIT4\r\n");
    const RealRegistry before = RealRegistryOutsideSandbox();
    const Program& program = session.sandboxed;
    // The keys whose copies are the roots themselves.
    const std::u16string keys[] = {
        u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes",
        u"\\REGISTRY\\USER\\" + std::u16string(kUserSid) + u"\\Software\\Classes",
    };
    for (const std::u16string& name : keys) {
        SCOPED_TRACE(Utf8(name));
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, program.Open(name, KEY_ALL_ACCESS, &key));
        EXPECT_EQ(STATUS_ACCESS_DENIED, program.Rename(key, u"."));
        EXPECT_EQ(STATUS_ACCESS_DENIED, program.DeleteKey(key));
        EXPECT_EQ(STATUS_SUCCESS, program.Close(key));
    }
    RealRegistry after = RealRegistryOutsideSandbox();
    EXPECT_TRUE(before == after) << FirstDifference(before, after);
    for (const char16_t* root : {kRedirectRoot, kRedirectUserClasses, kRedirectMachineClasses}) {
        KernelKey key;
        EXPECT_EQ(STATUS_SUCCESS, key.Create(root)) << Utf8(root);
    }
    std::vector<std::string> problems = session.End();
    EXPECT_TRUE(problems.empty()) << problems.front();
}

}  // namespace
