// Key histories, the exclusion-key list with its no-prefix invariant, the exclusion-value list,
// the built-in exclusion list and the application-hive list.
#include "tables/builtin_lists.h"
#include "tables/key_lists.h"

#include "names/name_patterns.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <barrier>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
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
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertRegistryHistory(table, root.get(), NULL, TRUE)) << "the root has no parent";
    Wide mixed(u"\\m\\N"), mixedOther(u"\\M\\n\\");
    EXPECT_EQ(STATUS_SUCCESS, InsertRegistryHistory(table, mixed.get(), NULL, FALSE));
    EXPECT_TRUE(RegistryHistoryExists(table, mixedOther.get(), NULL, NULL)) << "hashed without regard to case";

    ULONG hash = 0;
    EXPECT_FALSE(RegistryHistoryExists(table, upper.get(), NULL, &hash));
    EXPECT_EQ(STATUS_SUCCESS, InsertRegistryHistory(table, lower.get(), &hash, FALSE));
    EXPECT_TRUE(RegistryHistoryExists(table, upper.get(), NULL, NULL));

    // The hash handed over belongs to the full path: a parent is stored under its own.
    Wide child(u"\\P\\Q\\R"), childParent(u"\\P\\Q\\");
    EXPECT_FALSE(RegistryHistoryExists(table, child.get(), NULL, &hash));
    EXPECT_EQ(STATUS_SUCCESS, InsertRegistryHistory(table, child.get(), &hash, TRUE));
    EXPECT_TRUE(RegistryHistoryExists(table, childParent.get(), NULL, NULL));
    EXPECT_FALSE(RegistryHistoryExists(table, child.get(), NULL, NULL));

    // The hash of the normalised form, with or without the separator, and computed alone; a path
    // that ends in a separator is looked up even when the pool is empty.
    for (Wide* path : {&child, &childParent, &mixedOther}) {
        ULONG expected = 0;
        ULONG computed = 0;
        (void)RegistryHistoryExists(table, path->get(), NULL, &expected);
        EXPECT_EQ(STATUS_SUCCESS, RegistryHistoryHash(path->get(), &computed));
        EXPECT_EQ(expected, computed) << vextest::Utf8(vextest::Text(path->get()));
    }
    Wide empty(u"");
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RegistryHistoryHash(empty.get(), &hash));
    vexsim::FailAllocationsWithTag(VEXR_TAG);
    EXPECT_TRUE(RegistryHistoryExists(table, childParent.get(), NULL, NULL));
    EXPECT_FALSE(RegistryHistoryExists(table, mixed.get(), NULL, NULL)) << "a path to normalise needs a copy";
    vexsim::ClearAllocationFailures();
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
    // So are missing ones.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertRegistryHistory(&g_VexRegFilterData.CopyKeyHistory, NULL, NULL, FALSE));
    EXPECT_FALSE(RegistryHistoryExists(&g_VexRegFilterData.CopyKeyHistory, NULL, NULL, NULL));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertExcludeKey(NULL));
    EXPECT_FALSE(IsThereExcludeKey(NULL));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertExcludeValue(NULL));
    EXPECT_FALSE(IsThereExcludeValue(NULL, NULL));
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

// An operation of the lists and the line each of its allocation failures prints, in order.
struct FailingOperation {
    std::function<NTSTATUS()> run;
    std::vector<std::string> lines;
};

TEST_F(KeyListsTest, EveryAllocationFailureOfAnInsertAddsNothingAndSaysWhy)
{
    Wide key(u"\\A\\B"), pair(u"\\K\\V");
    PCACHE_TABLE table = &g_VexRegFilterData.CopyKeyHistory;
    const FailingOperation operations[] = {
        {[&] { return InsertExcludeKey(key.get()); },
         {"VexRegFilter - InsertExcludeKey() : History Data allocate error",
          "VexRegFilter - InsertExcludeKey() : History->KeyPath allocate error"}},
        {[&] { return InsertExcludeValue(pair.get()); },
         {"VexRegFilter.sys: InsertExcludeValue - History Data allocate error",
          "VexRegFilter.sys: InsertExcludeValue - History->KeyPath allocate error",
          "VexRegFilter.sys: InsertExcludeValue - History->ValueName allocate error"}},
        {[&] { return InsertRegistryHistory(table, key.get(), NULL, FALSE); },
         {"VexRegFilter.sys: InsertRegistryHistory - KeyPath allocate error",
          "VexRegFilter.sys: InsertRegistryHistory - Failed to CTInsertElement. status = c000009a",
          "VexRegFilter.sys: InsertRegistryHistory - Failed to CTInsertElement. status = c000009a"}},
    };
    for (const FailingOperation& operation : operations) {
        size_t before = vextest::LivePoolAllocations();
        NTSTATUS last = vextest::ForEachAllocationFailure(
            [&] {
                vexsim::ClearDebugOutput();
                return operation.run();
            },
            [&](NTSTATUS status, int failing) {
                EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << operation.lines[0] << ", allocation " << failing;
                ASSERT_LE((size_t)failing, operation.lines.size());
                EXPECT_TRUE(vextest::HasDebugLine(operation.lines[failing - 1])) << operation.lines[failing - 1];
                EXPECT_EQ(before, vextest::LivePoolAllocations()) << operation.lines[0] << ", allocation " << failing;
            });
        EXPECT_EQ(STATUS_SUCCESS, last);
    }
    EXPECT_EQ((std::vector<std::string>{"\\A\\B\\"}), ExcludeKeys()) << "the runs without a failure added the key";
}

TEST_F(KeyListsTest, QueriesWhoseCopyFailsAnswerNoAndRemovalStillSucceeds)
{
    Wide key(u"\\A\\B");
    ASSERT_EQ(STATUS_SUCCESS, InsertExcludeKey(key.get()));
    ASSERT_EQ(STATUS_SUCCESS, InsertExcludeValue(key.get()));
    ASSERT_EQ(STATUS_SUCCESS, InsertRegistryHistory(&g_VexRegFilterData.CopyKeyHistory, key.get(), NULL, FALSE));
    struct Query {
        std::function<bool()> run;
        const char* line;
    } queries[] = {
        {[&] { return IsThereExcludeKey(key.get()) != FALSE; }, "VexRegFilter - IsThereExcludeKey() : SourceKeyName allocate error"},
        {[&] { return IsThereExcludeValue(key.get(), NULL) != FALSE; }, "VexRegFilter.sys: IsThereExcludeValue - SourceKeyName allocate error"},
        {[&] { return RegistryHistoryExists(&g_VexRegFilterData.CopyKeyHistory, key.get(), NULL, NULL) != FALSE; },
         "VexRegFilter.sys: RegistryHistoryExists - KeyPath allocate error"},
        {[&] { return RemoveSubkeysExcludeKey(key.get()) == STATUS_SUCCESS; },
         "VexRegFilter - RemoveSubkeysExcludeKey() : SourceKeyName allocate error"},
    };
    for (const Query& query : queries) {
        vexsim::ClearDebugOutput();
        vexsim::FailNthAllocation(1);
        bool answer = query.run();
        vexsim::ClearAllocationFailures();
        EXPECT_EQ(std::vector<std::string>{query.line}, vexsim::DebugOutput());
        EXPECT_EQ(&query == &queries[3], answer) << query.line;
    }
    EXPECT_EQ((std::vector<std::string>{"\\A\\B\\"}), ExcludeKeys()) << "a failed removal removes nothing";
}

TEST_F(KeyListsTest, TracesNameEachStepOnlyWhenTracingIsOn)
{
    Wide key(u"\\A\\B"), pair(u"\\K\\V"), valueKey(u"\\K"), value(u"V");
    PCACHE_TABLE table = &g_VexRegFilterData.CopyKeyHistory;
    auto run = [&] {
        vexsim::ClearDebugOutput();
        (void)InsertRegistryHistory(table, key.get(), NULL, FALSE);
        (void)RegistryHistoryExists(table, key.get(), NULL, NULL);
        (void)InsertExcludeKey(key.get());
        (void)InsertExcludeKey(key.get());
        (void)IsThereExcludeKey(key.get());
        (void)InsertExcludeValue(pair.get());
        (void)IsThereExcludeValue(valueKey.get(), value.get());
        ResetExcludeKey();
        ResetExcludeValue();
        (void)CTFinalize(table);
        return vexsim::DebugOutput();
    };
    EXPECT_TRUE(run().empty());
    g_VexRegFilterData.DebugLogFlags = DEBUG_FLAG_TRACE;
    std::vector<std::string> lines = run();
    g_VexRegFilterData.DebugLogFlags = 0;
    EXPECT_EQ((std::vector<std::string>{
                  "VexRegFilter.sys: InsertRegistryHistory - enter",
                  "VexRegFilter.sys: InsertRegistryHistory - KeyPath = \\A\\B\\",
                  "VexRegFilter.sys: InsertRegistryHistory - exit",
                  "VexRegFilter.sys: RegistryHistoryExists - path = \\A\\B\\ : exist",
                  "VexRegFilter - InsertExcludeKey() - enter",
                  "VexRegFilter - InsertExcludeKey() [KeyPath] : \\A\\B\\",
                  "VexRegFilter - IsThereExcludeKey(): \\A\\B\\ : not exist",
                  "VexRegFilter - InsertExcludeKey() : Insert List",
                  "VexRegFilter - InsertExcludeKey() - exit",
                  "VexRegFilter - InsertExcludeKey() - enter",
                  "VexRegFilter - InsertExcludeKey() [KeyPath] : \\A\\B\\",
                  "VexRegFilter - IsThereExcludeKey(): \\A\\B\\ : exist",
                  "VexRegFilter - InsertExcludeKey() - exit",
                  "VexRegFilter - IsThereExcludeKey(): \\A\\B\\ : exist",
                  "VexRegFilter.sys: InsertExcludeValue - enter",
                  "VexRegFilter.sys: InsertExcludeValue -",
                  "  KeyPath = \\K\\",
                  "  ValueName = V",
                  "VexRegFilter.sys: IsThereExcludeValue: \\K\\ : not exist",
                  "VexRegFilter.sys: InsertExcludeValue - Insert List",
                  "VexRegFilter.sys: InsertExcludeValue - exit",
                  "VexRegFilter.sys: IsThereExcludeValue: \\K\\ : exist",
              }),
              lines);
}

TEST_F(KeyListsTest, ConcurrentInsertsKeepNoExclusionKeyAPrefixOfAnother)
{
    // Workers start each round together, insert a key and its ancestors in different orders and
    // the same value, and stop together; then the lists must hold each thing once.
    Wide keys[] = {Wide(u"\\A\\B\\C"), Wide(u"\\A\\B"), Wide(u"\\A")};
    Wide pair(u"\\K\\V");
    const int workers = 4, rounds = 200;
    std::barrier sync(workers + 1);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; w++) {
        threads.emplace_back([&, w] {
            for (int round = 0; round < rounds; round++) {
                sync.arrive_and_wait();
                EXPECT_EQ(STATUS_SUCCESS, InsertExcludeKey(keys[(w + round) % 3].get()));
                EXPECT_EQ(STATUS_SUCCESS, InsertExcludeValue(pair.get()));
                sync.arrive_and_wait();
            }
        });
    }
    for (int round = 0; round < rounds; round++) {
        sync.arrive_and_wait();
        sync.arrive_and_wait();
        EXPECT_EQ((std::vector<std::string>{"\\A\\"}), ExcludeKeys()) << "round " << round;
        EXPECT_EQ(g_VexRegFilterData.ExcludeValueList.Flink, g_VexRegFilterData.ExcludeValueList.Blink) << "round " << round;
        ResetExcludeKey();
        ResetExcludeValue();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

TEST_F(KeyListsTest, BuiltInKeysCoverTheirSubkeysAndSiblingsByPrefix)
{
    Wide added(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex");
    const char* lines[] = {"VexRegFilter.sys: exclude information allocate error", "VexRegFilter.sys: exclude information name allocate error"};
    NTSTATUS last = vextest::ForEachAllocationFailure(
        [&] {
            vexsim::ClearDebugOutput();
            return ELInsertKey(added.get());
        },
        [&](NTSTATUS status, int failing) {
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
            ASSERT_LE((size_t)failing, std::size(lines));
            EXPECT_EQ(std::vector<std::string>{lines[failing - 1]}, vexsim::DebugOutput());
            EXPECT_FALSE(ELIsExcludeKey(added.get()));
        });
    EXPECT_EQ(STATUS_SUCCESS, last);
    EXPECT_TRUE(ELIsExcludeKey(added.get()));

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

std::string Pointer(const void* value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%016llX", (unsigned long long)(uintptr_t)value);
    return text;
}

TEST_F(AppHiveListTest, EachOpenAndCloseIsPrintedWithItsPairAndCount)
{
    const std::string name = "VexRegFilter.sys: Insert Hive Name = " + Utf8(vextest::Text(hive.get()));
    auto pairLine = [](const char* what, int references, const void* object, HANDLE process) {
        return "VexRegFilter.sys:     " + std::string(what) + ". References = " + std::to_string(references) + " Object = " +
               Pointer(object) + " ProcessId = " + Pointer(process);
    };
    vexsim::ClearDebugOutput();
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process1, &objectA, hive.get()));
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process1, &objectA, hive.get()));
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process2, &objectA, hive.get()));  // the same object, another process: its own pair
    PVOID object = NULL;
    UNICODE_STRING relative = {};
    EXPECT_EQ(STATUS_SUCCESS, AHLLookup(process2, hive.get(), &object, &relative));
    AHLDelete(process2, &objectB, hive.get());  // never recorded
    AHLDelete(process2, &objectA, hive.get());
    AHLDelete(process1, &objectA, hive.get());
    AHLDelete(process1, &objectA, hive.get());
    const std::string deleted = "VexRegFilter.sys: Delete Hive Name = " + Utf8(vextest::Text(hive.get()));
    EXPECT_EQ((std::vector<std::string>{
                  name, pairLine("Added list", 1, &objectA, process1),
                  name, pairLine("Added list", 2, &objectA, process1),
                  name, pairLine("Added list", 1, &objectA, process2),
                  deleted, "VexRegFilter.sys:     Removed item not found. Object = " + Pointer(&objectB) + " ProcessId = " + Pointer(process2),
                  deleted, pairLine("Removed list", 0, &objectA, process2), pairLine("Free Resource", 0, &objectA, process2),
                  deleted, pairLine("Removed list", 1, &objectA, process1),
                  deleted, pairLine("Removed list", 0, &objectA, process1), pairLine("Free Resource", 0, &objectA, process1),
                  "VexRegFilter.sys: Free Resource. Hive Name = " + Utf8(vextest::Text(hive.get())),
              }),
              vexsim::DebugOutput());
    EXPECT_EQ(0u, HiveRecords());
    LIST_ENTRY noReferences;
    InitializeListHead(&noReferences);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, AHLAddReference(process1, &objectA, NULL));
    EXPECT_EQ(STATUS_NOT_FOUND, AHLRemoveReference(process1, &objectA, NULL));
    EXPECT_EQ(STATUS_NOT_FOUND, AHLRemoveReference(process1, &objectA, &noReferences));
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

TEST_F(AppHiveListTest, EveryAllocationFailureOfAnInsertRecordsNothingAndSaysWhy)
{
    const char* lines[] = {"VexRegFilter.sys: application hive information allocate error",
                           "VexRegFilter.sys: application hive name allocate error", "VexRegFilter.sys: process information allocate error"};
    NTSTATUS last = vextest::ForEachAllocationFailure(
        [&] {
            vexsim::ClearDebugOutput();
            return AHLInsert(process1, &objectA, hive.get());
        },
        [&](NTSTATUS status, int failing) {
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << failing;
            ASSERT_LE((size_t)failing, std::size(lines));
            EXPECT_EQ(lines[failing - 1], vexsim::DebugOutput().back());
            EXPECT_EQ(0u, HiveRecords());
        });
    EXPECT_EQ(STATUS_SUCCESS, last);
    // A second process's open of the recorded hive needs only its pair.
    vexsim::FailNthAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AHLInsert(process2, &objectB, hive.get()));
    vexsim::ClearAllocationFailures();
    EXPECT_EQ("VexRegFilter.sys: process information allocate error", vexsim::DebugOutput().back());
}

}  // namespace
