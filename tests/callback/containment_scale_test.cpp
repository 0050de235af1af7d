// Containment at scale: a long seeded run of registry calls by a sandboxed program against a large
// real registry, with names an adversary would choose (long, relative, dot components, doubled
// and trailing separators, Wow6432Node and Classes areas, links, names that only start like a
// redirect root). The real registry outside the sandbox is unchanged at every checkpoint, the
// machine never stops and the unload is clean.
//
// The run is 20,000 calls under the sanitizers and 100,000 in an optimised build; the variable
// VEX_CONTAINMENT_CALLS sets another count:
//   cmake --build --preset release -j2 --target callback_tests
//   build/release/callback_tests --gtest_filter='ContainmentAtScaleTest.*'
#include "tests/support/containment.h"
#include "tests/support/large_registry.h"
#include "tests/support/sandbox_session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace {

using namespace vextest;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kDefaultCalls = 20'000;
#else
constexpr long kDefaultCalls = 100'000;
#endif

long CallCount()
{
    const char* text = std::getenv("VEX_CONTAINMENT_CALLS");
    return text != nullptr ? std::atol(text) : kDefaultCalls;
}

const std::u16string kMachine = u"\\REGISTRY\\MACHINE";
const std::u16string kUser = u"\\REGISTRY\\USER\\" + std::u16string(kUserSid);

// Where absolute names start.
const std::u16string kStarts[] = {
    kMachine + u"\\SOFTWARE",
    kMachine + u"\\SOFTWARE\\Wow6432Node",
    kMachine + u"\\SOFTWARE\\Classes",
    kMachine + u"\\SOFTWARE\\Wow6432Node\\Classes",
    kMachine + u"\\SYSTEM\\CurrentControlSet\\Services",
    kMachine + u"\\SYSTEM\\CurrentControlSet",
    kUser + u"\\Software",
    kUser + u"\\Software\\Classes",
    kUser + u"_Classes",
    kUser + u"_Classes\\Wow6432Node",
    std::u16string(kRedirectRoot) + u"X",
    kMachine + u"\\SOFTWARE\\Sample\\SANDBOX\\reg",
    kMachine + u"\\SOFTWARE\\Sample\\Sandbox",
    std::u16string(kRedirectRoot) + u"\\MACHINE\\SOFTWARE",
    std::u16string(kRedirectUserClasses) + u"X",
    u"\\REGISTRY",
    u"\\REGISTRY\\A",
};

class Adversary {
public:
    Adversary(const Program& program, unsigned seed) : program_(program), random_(seed) {}

    void Step()
    {
        HANDLE root = nullptr;
        std::u16string name;
        if (!handles_.empty() && Pick(3) == 0) {
            root = handles_[Pick(handles_.size())];
        } else {
            name = kStarts[Pick(std::size(kStarts))];
        }
        for (size_t i = 0, levels = Pick(4); i < levels; i++) {
            name += (name.empty() ? u"" : u"\\") + Component();
        }
        if (Pick(16) == 0) {
            name += u"\\";
        }
        HANDLE key = handles_.empty() ? nullptr : handles_[Pick(handles_.size())];
        HANDLE made = nullptr;
        ULONG a, b, data;
        NTSTATUS status;
        switch (Pick(10)) {
        case 0:
        case 1:
            status = program_.Create(name, &made, root);
            Keep(status, made);
            break;
        case 2:
        case 3:
            status = program_.Open(name, Pick(2) == 0 ? KEY_READ : KEY_ALL_ACCESS, &made, root);
            Keep(status, made);
            break;
        case 4:
            (void)program_.SetDword(key, Component(), (ULONG)random_());
            break;
        case 5:
            (void)(Pick(2) == 0 ? program_.DeleteValue(key, Component()) : program_.QueryValue(key, Component(), &data));
            break;
        case 6:
            (void)program_.DeleteKey(key);
            break;
        case 7:
            (void)program_.Rename(key, Component());
            break;
        case 8:
            (void)(Pick(2) == 0 ? program_.Enumerate(key, &a, &b, &status) : program_.QueryKey(key, &a, &b));
            break;
        default:
            CloseOne();
            break;
        }
    }

    void CloseAll()
    {
        while (!handles_.empty()) {
            CloseOne();
        }
    }

private:
    size_t Pick(size_t count) { return std::uniform_int_distribution<size_t>(0, count - 1)(random_); }

    std::u16string Component()
    {
        switch (Pick(14)) {
        case 0:
            return std::u16string(1 + Pick(300), u'L');  // around the 255-character limit
        case 1:
            return u"..";
        case 2:
            return u".";
        case 3:
            return u"";  // doubled separator
        case 4:
            return u"Wow6432Node";
        case 5:
            return u"Classes";
        case 6:
            return u"CurrentControlSet";
        case 7:
            return u"SymbolicLinkValue";
        case 8:
            return u"Sample\\Sandbox\\Reg";
        case 9:
            return u"Vendor" + Utf16(std::to_string(Pick(80)));
        case 10:
            return u"Product" + Utf16(std::to_string(Pick(10)));
        case 11:
            return u"Setting" + Utf16(std::to_string(Pick(10)));
        case 12:
            return u"v" + Utf16(std::to_string(Pick(5)));
        default:
            return u"MACHINE";
        }
    }

    void Keep(NTSTATUS status, HANDLE handle)
    {
        if (!NT_SUCCESS(status)) {
            return;
        }
        handles_.push_back(handle);
        if (handles_.size() > 48) {
            CloseOne();
        }
    }

    void CloseOne()
    {
        if (handles_.empty()) {
            return;
        }
        size_t at = Pick(handles_.size());
        EXPECT_EQ(STATUS_SUCCESS, program_.Close(handles_[at]));
        handles_.erase(handles_.begin() + (ptrdiff_t)at);
    }

    const Program& program_;
    std::mt19937 random_;
    std::vector<HANDLE> handles_;
};

TEST(ContainmentAtScaleTest, ALongAdversarialRunLeavesTheRealRegistryAsItWas)
{
    constexpr unsigned kSeed = 14;
    const long calls = CallCount();
    SandboxSession session;
    session.Begin(LargeRegistryFile(kSeed, 80));
    const RealRegistry before = RealRegistryOutsideSandbox();
    ASSERT_GT(before.machine.size() + before.users.size(), 3000u);
    Adversary adversary(session.sandboxed, kSeed);
    constexpr long kCheckpoints = 4;
    for (long checkpoint = 1; checkpoint <= kCheckpoints; checkpoint++) {
        for (long call = 0; call < calls / kCheckpoints; call++) {
            adversary.Step();
        }
        RealRegistry after = RealRegistryOutsideSandbox();
        ASSERT_TRUE(before == after) << "after " << checkpoint * (calls / kCheckpoints) << " calls\n"
                                     << FirstDifference(before, after);
    }
    adversary.CloseAll();
    std::vector<std::string> problems = session.End();
    EXPECT_TRUE(problems.empty()) << problems.front();
    std::printf("%ld calls by the sandboxed program, real registry unchanged\n", calls);
}

}  // namespace
