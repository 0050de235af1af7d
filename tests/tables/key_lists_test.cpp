// Key histories, the exclusion-key list with its no-prefix invariant, the exclusion-value list,
// the built-in exclusion list and the application-hive list.
#include "tables/builtin_lists.h"
#include "tables/key_lists.h"

#include "names/name_patterns.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vextest::Utf8;
using vextest::Wide;

class KeyListsTest : public vextest::DriverTest {
protected:
    std::vector<std::string> ExcludeKeys()
    {
        std::vector<std::string> keys;
        PLIST_ENTRY head = &g_VexRegFilterData.ExcludeKeyList;
        for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
            keys.push_back(Utf8(vextest::Text(&CONTAINING_RECORD(link, EXCLUDE_KEY_ENTRY, Links)->KeyPath)));
        }
        return keys;
    }
    bool IsExcludedKey(const char16_t* name)
    {
        Wide key(name);
        return IsThereExcludeKey(key.get());
    }
};

TEST_F(KeyListsTest, HistoriesStoreNormalisedPathsAndParents)
{
    PCACHE_TABLE table = &g_VexRegFilterData.CopyKeyHistory;
    Wide deep(u"\\A\\B\\D"), top(u"\\A"), parent(u"\\a\\b\\"), root(u"\\"), lower(u"\\x"), upper(u"\\X"), noSeparator(u"A");
    EXPECT_EQ(STATUS_SUCCESS, InsertRegistryHistory(table, deep.get(), NULL, TRUE));
    EXPECT_TRUE(RegistryHistoryExists(table, parent.get(), NULL, NULL));
    EXPECT_FALSE(RegistryHistoryExists(table, deep.get(), NULL, NULL));
    EXPECT_EQ(STATUS_SUCCESS, InsertRegistryHistory(table, top.get(), NULL, TRUE));
    EXPECT_TRUE(RegistryHistoryExists(table, root.get(), NULL, NULL));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertRegistryHistory(table, noSeparator.get(), NULL, TRUE));

    ULONG hash = 0;
    EXPECT_FALSE(RegistryHistoryExists(table, upper.get(), NULL, &hash));
    EXPECT_EQ(STATUS_SUCCESS, InsertRegistryHistory(table, lower.get(), &hash, FALSE));
    EXPECT_TRUE(RegistryHistoryExists(table, upper.get(), NULL, NULL));
}

TEST_F(KeyListsTest, EmptyPathsAreRefusedEverywhere)
{
    Wide empty(u"");
    UNICODE_STRING none = {};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertRegistryHistory(&g_VexRegFilterData.CopyKeyHistory, empty.get(), NULL, FALSE));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertRegistryHistory(&g_VexRegFilterData.CopyKeyHistory, &none, NULL, FALSE));
    EXPECT_FALSE(RegistryHistoryExists(&g_VexRegFilterData.CopyKeyHistory, empty.get(), NULL, NULL));
    // As the exclusion "\" an empty path would exclude the whole registry.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertExcludeKey(empty.get()));
    EXPECT_TRUE(ExcludeKeys().empty());
    EXPECT_FALSE(IsThereExcludeKey(empty.get()));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertExcludeValue(empty.get()));
    EXPECT_FALSE(IsThereExcludeValue(empty.get(), NULL));
}

TEST_F(KeyListsTest, NoExclusionKeyIsAPrefixOfAnother)
{
    Wide ab(u"\\A\\B"), a(u"\\A"), abc(u"\\A\\B\\C"), other(u"\\Other\\");
    EXPECT_EQ(STATUS_SUCCESS, InsertExcludeKey(ab.get()));
    EXPECT_EQ(STATUS_SUCCESS, InsertExcludeKey(other.get()));
    EXPECT_EQ(STATUS_SUCCESS, InsertExcludeKey(a.get()));
    EXPECT_EQ((std::vector<std::string>{"\\Other\\", "\\A\\"}), ExcludeKeys());
    EXPECT_EQ(STATUS_SUCCESS, InsertExcludeKey(abc.get()));  // covered: nothing added
    EXPECT_EQ((std::vector<std::string>{"\\Other\\", "\\A\\"}), ExcludeKeys());

    ResetExcludeKey();
    EXPECT_EQ(STATUS_SUCCESS, InsertExcludeKey(ab.get()));
    EXPECT_TRUE(IsExcludedKey(u"\\a\\b\\d"));
    EXPECT_TRUE(IsExcludedKey(u"\\A\\B"));
    EXPECT_FALSE(IsExcludedKey(u"\\A\\BC"));
    EXPECT_EQ(STATUS_SUCCESS, RemoveSubkeysExcludeKey(a.get()));
    EXPECT_TRUE(ExcludeKeys().empty());
}

TEST_F(KeyListsTest, ExclusionValuesBelongToExactlyOneKey)
{
    Wide kv(u"\\K\\V"), noSeparator(u"Value"), key(u"\\k"), subkey(u"\\K\\B"), value(u"v"), otherValue(u"W");
    EXPECT_EQ(STATUS_SUCCESS, InsertExcludeValue(kv.get()));
    EXPECT_EQ(STATUS_SUCCESS, InsertExcludeValue(kv.get()));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertExcludeValue(noSeparator.get()));
    ULONG entries = 0;
    for (PLIST_ENTRY link = g_VexRegFilterData.ExcludeValueList.Flink; link != &g_VexRegFilterData.ExcludeValueList; link = link->Flink) {
        entries++;
    }
    EXPECT_EQ(1u, entries);
    EXPECT_TRUE(IsThereExcludeValue(key.get(), value.get()));
    EXPECT_TRUE(IsThereExcludeValue(key.get(), NULL));
    EXPECT_FALSE(IsThereExcludeValue(key.get(), otherValue.get()));
    EXPECT_FALSE(IsThereExcludeValue(subkey.get(), value.get()));
}

TEST_F(KeyListsTest, EveryAllocationFailureOfAnInsertAddsNothing)
{
    Wide key(u"\\A\\B"), pair(u"\\K\\V");
    size_t before = vextest::LivePoolAllocations();
    NTSTATUS last = vextest::ForEachAllocationFailure([&] { return InsertExcludeKey(key.get()); }, [&](NTSTATUS status, int failing) {
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << failing;
        EXPECT_TRUE(ExcludeKeys().empty());
        EXPECT_EQ(before, vextest::LivePoolAllocations());
    });
    EXPECT_EQ(STATUS_SUCCESS, last);
    last = vextest::ForEachAllocationFailure([&] { return InsertExcludeValue(pair.get()); }, [&](NTSTATUS status, int failing) {
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << failing;
        EXPECT_TRUE(IsListEmpty(&g_VexRegFilterData.ExcludeValueList));
    });
    EXPECT_EQ(STATUS_SUCCESS, last);
}

TEST_F(KeyListsTest, BuiltInKeysCoverTheirSubkeysAndSiblingsByPrefix)
{
    Wide classKey(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e968}"),
        control(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control"),
        enumerator(u"\\registry\\machine\\system\\currentcontrolset\\Enumerator");
    EXPECT_TRUE(ELIsExcludeKey(classKey.get()));
    EXPECT_FALSE(ELIsExcludeKey(control.get()));
    EXPECT_TRUE(ELIsExcludeKey(enumerator.get()));
}

class AppHiveListTest : public vextest::DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        loaded_ = vextest::LivePoolAllocations();
    }
    // Allocations of the hive list: entries, their names and their references.
    size_t HiveRecords() const { return vextest::LivePoolAllocations() - loaded_; }

    Wide hive{u"\\REGISTRY\\A\\{0a1b2c3d-0000-1111-2222-333344445555}"};
    int objectA = 0, objectB = 0;
    HANDLE process1 = (HANDLE)(ULONG_PTR)0x104, process2 = (HANDLE)(ULONG_PTR)0x208;
    size_t loaded_ = 0;
};

TEST_F(AppHiveListTest, ReferencesCountOpensPerProcessAndObject)
{
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process1, &objectA, hive.get()));
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process1, &objectA, hive.get()));
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process2, &objectB, hive.get()));
    EXPECT_TRUE(vextest::HasDebugLine("Added list. References = 2"));

    Wide below(u"\\REGISTRY\\A\\{0a1b2c3d-0000-1111-2222-333344445555}\\Software\\X");
    PVOID object = NULL;
    UNICODE_STRING relative = {};
    ASSERT_EQ(STATUS_SUCCESS, AHLLookup(process2, below.get(), &object, &relative));
    EXPECT_EQ(&objectB, object);
    EXPECT_EQ("Software\\X", Utf8(vextest::Text(&relative)));
    ASSERT_EQ(STATUS_SUCCESS, AHLLookup(process1, below.get(), &object, &relative));
    EXPECT_EQ(&objectA, object);

    AHLDelete(process2, &objectB, hive.get());
    AHLDelete(process1, &objectA, hive.get());
    EXPECT_EQ(STATUS_SUCCESS, AHLLookup(process1, below.get(), &object, &relative));
    AHLDelete(process1, &objectA, hive.get());
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, AHLLookup(process1, below.get(), &object, &relative));
    EXPECT_EQ(0u, HiveRecords());
    AHLDelete(process1, &objectA, hive.get());  // never recorded: changes nothing
}

TEST_F(AppHiveListTest, BothSpellingsOfARootNameOneHive)
{
    // Each process finds its own pair whichever spelling of the root it opened, and the relative
    // name keeps its first character, whichever spelling came first.
    Wide slash(u"\\REGISTRY\\A\\{0a1b2c3d-0000-1111-2222-333344445555}\\"),
        below(u"\\registry\\a\\{0A1B2C3D-0000-1111-2222-333344445555}\\Software\\X");
    for (auto [first, second] : {std::pair{hive.get(), slash.get()}, std::pair{slash.get(), hive.get()}}) {
        ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process1, &objectA, first));
        ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process2, &objectB, second));
        for (auto [process, expected] : {std::pair{process1, &objectA}, std::pair{process2, &objectB}}) {
            PVOID object = NULL;
            UNICODE_STRING relative = {};
            ASSERT_EQ(STATUS_SUCCESS, AHLLookup(process, below.get(), &object, &relative));
            EXPECT_EQ(expected, object);
            EXPECT_EQ("Software\\X", Utf8(vextest::Text(&relative)));
        }
        // A close under the other spelling forgets the open; the hive goes with the last one.
        AHLDelete(process1, &objectA, second);
        AHLDelete(process2, &objectB, first);
        EXPECT_EQ(0u, HiveRecords());
    }
}

TEST_F(AppHiveListTest, TheRootItselfHasAnEmptyRelativeName)
{
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process1, &objectA, hive.get()));
    Wide slash(u"\\REGISTRY\\A\\{0a1b2c3d-0000-1111-2222-333344445555}\\");
    for (PUNICODE_STRING name : {hive.get(), slash.get()}) {
        PVOID object = NULL;
        UNICODE_STRING relative = {1, 1, NULL};
        ASSERT_EQ(STATUS_SUCCESS, AHLLookup(process1, name, &object, &relative));
        EXPECT_EQ(0, relative.Length);
        EXPECT_EQ(name->Buffer + name->Length / sizeof(WCHAR), relative.Buffer);
    }
    PVOID object = NULL;
    UNICODE_STRING relative = {};
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, AHLLookup(process2, hive.get(), &object, &relative));
    AHLClear();
    EXPECT_EQ(0u, HiveRecords());
}

TEST_F(AppHiveListTest, RootNamesMatchWithOrWithoutTrailingSeparatorOnly)
{
    Wide slash(u"\\REGISTRY\\A\\{0a1b2c3d-0000-1111-2222-333344445555}\\"),
        below(u"\\REGISTRY\\A\\{0a1b2c3d-0000-1111-2222-333344445555}\\Sub");
    EXPECT_TRUE(IsAppHiveRootName(hive.get()));
    EXPECT_TRUE(IsAppHiveRootName(slash.get()));
    EXPECT_FALSE(IsAppHiveRootName(below.get()));
}

TEST_F(AppHiveListTest, EveryAllocationFailureOfAnInsertRecordsNothing)
{
    NTSTATUS last = vextest::ForEachAllocationFailure([&] { return AHLInsert(process1, &objectA, hive.get()); },
                                                      [&](NTSTATUS status, int failing) {
                                                          EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << failing;
                                                          EXPECT_EQ(0u, HiveRecords());
                                                      });
    EXPECT_EQ(STATUS_SUCCESS, last);
}

}  // namespace
