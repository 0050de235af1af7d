// The tests that decide the fate of registry operations read names in place: they ask the pool
// for nothing, so a pool that fails every request leaves every answer as it was.
#include "common/match.h"
#include "names/name_patterns.h"
#include "names/names.h"
#include "tables/builtin_lists.h"
#include "tables/global_data.h"
#include "tables/key_lists.h"
#include "tests/support/backtracking_match.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"

#include <functional>

namespace {

using vextest::Wide;

const std::u16string kHiveRoot = u"\\REGISTRY\\A\\{01234567-89ab-cdef-0123-456789ABCDEF}";
const std::u16string kMachineSoftware = u"\\REGISTRY\\MACHINE\\SOFTWARE";
const std::u16string kWow = kMachineSoftware + u"\\WOW6432Node";
const std::u16string kUserRoot = u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001";

class PoolPressureTest : public vextest::DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        Wide excluded(kMachineSoftware + u"\\Excluded"), value(kMachineSoftware + u"\\Values\\Hidden");
        Wide changed(kMachineSoftware + u"\\Changed");
        ASSERT_EQ(STATUS_SUCCESS, InsertExcludeKey(excluded.get()));
        ASSERT_EQ(STATUS_SUCCESS, InsertExcludeValue(value.get()));
        ASSERT_EQ(STATUS_SUCCESS, InsertRegistryHistory(&g_VexRegFilterData.DifferenceHistory, changed.get(), nullptr, FALSE));
    }
};

struct Row {
    const char* what;
    std::function<BOOLEAN()> test;
    bool answer;
};

BOOLEAN Matches(const std::u16string& name, const std::u16string& pattern)
{
    Wide n(name), p(pattern);
    return IsMatchName(n.get(), p.get());
}

BOOLEAN Names(BOOLEAN (*test)(PCUNICODE_STRING), const std::u16string& name)
{
    Wide n(name);
    return test(n.get());
}

BOOLEAN ExcludedValue(const std::u16string& key, const char16_t* value)
{
    Wide k(key), v(value != nullptr ? value : u"");
    return IsThereExcludeValue(k.get(), value != nullptr ? v.get() : nullptr);
}

BOOLEAN Changed(const std::u16string& key, bool withHash)
{
    Wide k(key);
    ULONG hash = 0;
    EXPECT_EQ(STATUS_SUCCESS, RegistryHistoryHash(k.get(), &hash));
    return RegistryHistoryExists(&g_VexRegFilterData.DifferenceHistory, k.get(), withHash ? &hash : nullptr, nullptr);
}

// Each test is asked twice, once with the pool healthy and once with every request failing: both
// answers are the expected one, and neither asks the pool for anything.
TEST_F(PoolPressureTest, EveryTestOnTheRegistryPathAnswersAloneWithoutThePool)
{
    const Row rows[] = {
        {"user root pattern", [] { return Matches(kUserRoot + u"\\", u"\\REGISTRY\\USER\\S-?-?-?*\\"); }, true},
        {"no user root", [] { return Matches(u"\\REGISTRY\\USER\\.DEFAULT\\", u"\\REGISTRY\\USER\\S-?-?-?*\\"); }, false},
        {"hive root", [] { return Names(IsAppHiveRootName, kHiveRoot); }, true},
        {"hive root with separator", [] { return Names(IsAppHiveRootName, kHiveRoot + u"\\"); }, true},
        {"below a hive root", [] { return Names(IsAppHiveRootName, kHiveRoot + u"\\Sub"); }, false},
        {"user root excluded", [] { return Names(IsExcludeName, kUserRoot); }, true},
        {"default user excluded", [] { return Names(IsExcludeName, u"\\REGISTRY\\USER\\.DEFAULT"); }, true},
        {"machine hive excluded", [] { return Names(IsExcludeName, u"\\registry\\machine\\"); }, true},
        {"hive root excluded", [] { return Names(IsExcludeName, kHiveRoot); }, true},
        {"software not excluded", [] { return Names(IsExcludeName, kMachineSoftware); }, false},
        {"silo user hive not excluded", [] { return Names(IsExcludeName, u"\\REGISTRY\\WC\\Silo0a1b2c3d-0000-1111-2222-333344445555user_sid"); }, false},
        {"shared classes", [] { return Names(IsMachineSharedKey, kWow + u"\\Classes"); }, true},
        {"shared Ole subkey", [] { return Names(IsMachineSharedKey, kWow + u"\\Microsoft\\Ole"); }, true},
        {"row 2 decides", [] { return Names(IsMachineSharedKey, kMachineSoftware + u"\\Classes\\WOW6432Node\\CLSID\\{Z}"); }, false},
        {"not shared", [] { return Names(IsMachineSharedKey, kWow + u"\\ClassesX"); }, false},
        {"shared user classes", [] { return Names(IsMachineSharedKey, kUserRoot + u"\\SOFTWARE\\WOW6432Node\\Classes\\CLSID"); }, true},
        {"certificate store", [] { return Names(IsCertificateStoreKey, kMachineSoftware + u"\\Microsoft\\SystemCertificates\\Root"); }, true},
        {"user choice", [] { return Names(IsUserChoiceFileExtKey, kUserRoot + u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.txt\\UserChoice"); }, true},
        {"excluded key", [] { return Names(IsThereExcludeKey, u"\\registry\\machine\\software\\excluded"); }, true},
        {"below an excluded key", [] { return Names(IsThereExcludeKey, kMachineSoftware + u"\\Excluded\\Sub"); }, true},
        {"excluded key's sibling", [] { return Names(IsThereExcludeKey, kMachineSoftware + u"\\ExcludedX"); }, false},
        {"excluded value", [] { return ExcludedValue(kMachineSoftware + u"\\values", u"HIDDEN"); }, true},
        {"key with an excluded value", [] { return ExcludedValue(kMachineSoftware + u"\\Values\\", nullptr); }, true},
        {"other value", [] { return ExcludedValue(kMachineSoftware + u"\\Values", u"Shown"); }, false},
        {"values of a subkey", [] { return ExcludedValue(kMachineSoftware + u"\\Values\\Sub", nullptr); }, false},
        {"built-in exclusion", [] { return Names(ELIsExcludeKey, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB"); }, true},
        {"changed key", [] { return Changed(kMachineSoftware + u"\\changed", false); }, true},
        {"changed key by its hash", [] { return Changed(kMachineSoftware + u"\\Changed", true); }, true},
        {"changed key with separator", [] { return Changed(kMachineSoftware + u"\\Changed\\", true); }, true},
        {"unchanged key", [] { return Changed(kMachineSoftware + u"\\Unchanged", true); }, false},
    };
    for (const Row& row : rows) {
        for (bool failing : {false, true}) {
            if (failing) {
                vexsim::FailAllocationsRandomly(1, 1.0);
            }
            ULONG64 requests = vexsim::AllocationRequestCount();
            BOOLEAN answer = row.test();
            EXPECT_EQ(requests, vexsim::AllocationRequestCount()) << row.what << ": the pool was asked";
            vexsim::ClearAllocationFailures();
            EXPECT_EQ(row.answer, (bool)answer) << row.what << (failing ? " with the pool failing" : "");
        }
    }
}

// The normalised form of a key path, read in place, answers as a copy with the separator
// appended would: for matches, equality and prefixes, over every short path and pattern.
TEST_F(PoolPressureTest, KeyPathsInPlaceAnswerAsTheirNormalisedCopies)
{
    const std::u16string paths[] = {u"\\A", u"\\a\\", u"\\A\\B", u"\\A\\B\\", u"\\AB", u"B", u"\\"};
    const std::u16string others[] = {u"\\A\\", u"\\a", u"\\A\\B\\", u"\\A\\b", u"\\", u"", u"\\AB\\", u"\\A\\B\\C\\", u"B\\"};
    const std::u16string patterns[] = {u"\\A\\", u"*\\", u"\\?", u"\\A*", u"\\A**", u"?\\", u"*B", u"\\A\\B\\*", u"*"};
    for (const std::u16string& path : paths) {
        const std::u16string normalised = path.back() == u'\\' ? path : path + u"\\";
        Wide keyPath(path), copy(normalised);
        for (const std::u16string& other : others) {
            Wide name(other);
            EXPECT_EQ(IsSameName(name.get(), copy.get()), IsSameKeyPath(name.get(), keyPath.get()))
                << vextest::Utf8(other) << " = " << vextest::Utf8(path);
            EXPECT_EQ(IsPrefixName(name.get(), copy.get()), IsPrefixOfKeyPath(name.get(), keyPath.get()))
                << vextest::Utf8(other) << " begins " << vextest::Utf8(path);
        }
        for (const std::u16string& pattern : patterns) {
            Wide p(pattern);
            EXPECT_EQ(vextest::BacktrackingMatch(normalised.c_str(), pattern.c_str()), (bool)IsMatchKeyPath(keyPath.get(), p.get()))
                << vextest::Utf8(path) << " against " << vextest::Utf8(pattern);
        }
    }
    // A path without characters has no normalised form.
    Wide empty(u""), star(u"*");
    EXPECT_FALSE(IsMatchKeyPath(empty.get(), star.get()));
    EXPECT_FALSE(IsPrefixOfKeyPath(empty.get(), empty.get()));
    EXPECT_FALSE(IsSameKeyPath(empty.get(), nullptr));
}

}  // namespace
