// Key histories, the exclusion-key list with its no-prefix invariant, the exclusion-value list,
// the built-in exclusion list and the application-hive list.
#include "tables/builtin_lists.h"
#include "tables/key_lists.h"

#include "names/name_patterns.h"
#include "sim/cm/user_registry.h"
#include "sim/ob/handles.h"
#include "sim/ob/object.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
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

    // The hash of the normalised form, with or without the separator, and computed alone; every
    // path is looked up in place, also when the pool is empty.
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
    EXPECT_TRUE(RegistryHistoryExists(table, mixed.get(), NULL, NULL)) << "a path to normalise is read in place";
    vexsim::ClearAllocationFailures();
}

TEST_F(KeyListsTest, EmptyPathsAreRefusedEverywhere)
{
    Wide empty(u"");
    UNICODE_STRING none = {};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertRegistryHistory(&g_VexRegFilterData.CopyKeyHistory, empty.get(), NULL, FALSE));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertRegistryHistory(&g_VexRegFilterData.CopyKeyHistory, &none, NULL, FALSE));
    EXPECT_FALSE(RegistryHistoryExists(&g_VexRegFilterData.CopyKeyHistory, empty.get(), NULL, NULL));
    // Not even with the root "\" recorded and its hash handed over: an empty path is no path.
    Wide top(u"\\A"), root(u"\\");
    ULONG rootHash = 0;
    ASSERT_EQ(STATUS_SUCCESS, InsertRegistryHistory(&g_VexRegFilterData.CopyKeyHistory, top.get(), NULL, TRUE));
    ASSERT_EQ(STATUS_SUCCESS, RegistryHistoryHash(root.get(), &rootHash));
    ASSERT_TRUE(RegistryHistoryExists(&g_VexRegFilterData.CopyKeyHistory, root.get(), &rootHash, NULL));
    EXPECT_FALSE(RegistryHistoryExists(&g_VexRegFilterData.CopyKeyHistory, empty.get(), &rootHash, NULL));
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

TEST_F(KeyListsTest, QueriesAnswerWithoutThePoolAndAFailedRemovalStillSucceeds)
{
    Wide key(u"\\A\\B"), valueKey(u"\\A");
    ASSERT_EQ(STATUS_SUCCESS, InsertExcludeKey(key.get()));
    ASSERT_EQ(STATUS_SUCCESS, InsertExcludeValue(key.get()));
    ASSERT_EQ(STATUS_SUCCESS, InsertRegistryHistory(&g_VexRegFilterData.CopyKeyHistory, key.get(), NULL, FALSE));
    struct Query {
        std::function<bool()> run;
        std::vector<std::string> lines;
    } queries[] = {
        {[&] { return IsThereExcludeKey(key.get()) != FALSE; }, {}},
        {[&] { return IsThereExcludeValue(valueKey.get(), NULL) != FALSE; }, {}},
        {[&] { return RegistryHistoryExists(&g_VexRegFilterData.CopyKeyHistory, key.get(), NULL, NULL) != FALSE; }, {}},
        {[&] { return RemoveSubkeysExcludeKey(key.get()) == STATUS_SUCCESS; },
         {"VexRegFilter - RemoveSubkeysExcludeKey() : SourceKeyName allocate error"}},
    };
    for (const Query& query : queries) {
        vexsim::ClearDebugOutput();
        vexsim::FailNthAllocation(1);
        bool answer = query.run();
        vexsim::ClearAllocationFailures();
        EXPECT_EQ(query.lines, vexsim::DebugOutput());
        EXPECT_TRUE(answer) << &query - queries;
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

// The application-hive list on real key objects: a process loads a hive and opens its root
// once more; the list keeps their key objects as identities and holds a root key of its own.
class AppHiveListTest : public vextest::DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        process_ = vexsim::CreateUserProcess(vexsim::ProcessParams{u"\\Device\\HarddiskVolume3\\App\\hive.exe"});
        vexsim::UserModeScope user(process_);
        std::u16string hiveName;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadApplicationHive(KEY_ALL_ACCESS, &root_, &hiveName));
        hive = Wide(hiveName);
        OBJECT_ATTRIBUTES attributes;
        UNICODE_STRING same = {};
        InitializeObjectAttributes(&attributes, &same, OBJ_CASE_INSENSITIVE, root_, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::NtOpenKey(&again_, KEY_READ, &attributes));
        objectA = ObjectOf(root_);
        objectB = ObjectOf(again_);
        loaded_ = vextest::LivePoolAllocations();
    }
    void TearDown() override
    {
        AHLClear();
        vexsim::EndProcess(process_);
        DriverTest::TearDown();
    }
    // The key object behind a handle of the process; its handle keeps it alive.
    PVOID ObjectOf(HANDLE handle)
    {
        PVOID object = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, vexsim::ReferenceObjectByHandle(handle, 0, *CmKeyObjectType, UserMode, &object, nullptr));
        vexsim::DereferenceObject(object);
        return object;
    }
    // Allocations of the hive list: entries, their names and their references.
    size_t HiveRecords() const { return vextest::LivePoolAllocations() - loaded_; }
    // The hive's root key as a lookup by a process hands it out, released at once.
    NTSTATUS Lookup(HANDLE process, PUNICODE_STRING name, PVOID* rootKey, std::string* relative = nullptr)
    {
        UNICODE_STRING rest = {};
        *rootKey = nullptr;
        NTSTATUS status = AHLLookup(process, name, rootKey, &rest);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(1, vexsim::HeaderOf(*rootKey).driverReferences.load() - 1) << "the lookup's own reference";
            ObDereferenceObject(*rootKey);
            if (relative != nullptr) {
                *relative = Utf8(vextest::Text(&rest));
            }
        }
        return status;
    }

    Wide hive{u""};
    PVOID objectA = nullptr, objectB = nullptr;
    HANDLE process1 = (HANDLE)(ULONG_PTR)0x104, process2 = (HANDLE)(ULONG_PTR)0x208;
    PEPROCESS process_ = nullptr;
    HANDLE root_ = nullptr, again_ = nullptr;
    size_t loaded_ = 0;
};

TEST_F(AppHiveListTest, PairsGoWithTheirObjectAndTheRootKeyWithTheLastPair)
{
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process1, objectA, hive.get()));
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process1, objectA, hive.get()));
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process2, objectB, hive.get()));
    EXPECT_TRUE(vextest::HasDebugLine("Added list. References = 2"));
    EXPECT_FALSE(AHLIsEmpty());

    Wide below(vextest::Text(hive.get()) + u"\\Software\\X");
    PVOID rootKey = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Lookup(process1, below.get(), &rootKey)) << "no root key held yet";
    // Only a recorded open holds the root key; the list's reference is its only one.
    EXPECT_EQ(STATUS_SUCCESS, AHLHoldRootKey((HANDLE)(ULONG_PTR)0x30C, objectA, hive.get()));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Lookup(process1, below.get(), &rootKey));
    ASSERT_EQ(STATUS_SUCCESS, AHLHoldRootKey(process1, objectA, hive.get()));
    ASSERT_EQ(STATUS_SUCCESS, AHLHoldRootKey(process2, objectB, hive.get()));  // already held: nothing more
    std::string relative;
    ASSERT_EQ(STATUS_SUCCESS, Lookup(process1, below.get(), &rootKey, &relative));
    EXPECT_EQ("Software\\X", relative);
    EXPECT_NE(objectA, rootKey);
    EXPECT_NE(objectB, rootKey);
    EXPECT_EQ(1, vexsim::HeaderOf(rootKey).driverReferences.load());
    EXPECT_EQ(0, vexsim::HeaderOf(objectA).driverReferences.load()) << "a pair never references its object";
    PVOID again = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Lookup(process2, below.get(), &again));
    EXPECT_EQ(rootKey, again);
    Wide sibling(vextest::Text(hive.get()) + u"X\\Software");
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Lookup(process1, sibling.get(), &again)) << "the hive name ends at a separator";

    // A torn-down object takes every count of its pair; the hive stays with the other pair.
    AHLDelete(objectA, hive.get());
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Lookup(process1, below.get(), &again));
    EXPECT_EQ(STATUS_SUCCESS, Lookup(process2, below.get(), &again));
    AHLDelete(objectB, hive.get());
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Lookup(process2, below.get(), &again));
    EXPECT_EQ(0u, HiveRecords());
    EXPECT_TRUE(AHLIsEmpty());
    // The root key went with the last pair: nothing of the driver holds a key object (the unload
    // check counts the driver's references), and the process's handles alone keep the hive.
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
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process1, objectA, hive.get()));
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process1, objectA, hive.get()));
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process2, objectA, hive.get()));  // the same object, another process: its own pair
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process2, objectB, hive.get()));
    AHLDelete(&loaded_, hive.get());  // never recorded
    AHLDelete(objectA, hive.get());
    AHLDelete(objectB, hive.get());
    const std::string deleted = "VexRegFilter.sys: Delete Hive Name = " + Utf8(vextest::Text(hive.get()));
    EXPECT_EQ((std::vector<std::string>{
                  name, pairLine("Added list", 1, objectA, process1),
                  name, pairLine("Added list", 2, objectA, process1),
                  name, pairLine("Added list", 1, objectA, process2),
                  name, pairLine("Added list", 1, objectB, process2),
                  deleted, "VexRegFilter.sys:     Removed item not found. Object = " + Pointer(&loaded_) + " ProcessId = " +
                               Pointer(PsGetCurrentProcessId()),
                  deleted, pairLine("Removed list", 0, objectA, process1), pairLine("Free Resource", 0, objectA, process1),
                  pairLine("Removed list", 0, objectA, process2), pairLine("Free Resource", 0, objectA, process2),
                  deleted, pairLine("Removed list", 0, objectB, process2), pairLine("Free Resource", 0, objectB, process2),
                  "VexRegFilter.sys: Free Resource. Hive Name = " + Utf8(vextest::Text(hive.get())),
              }),
              vexsim::DebugOutput());
    EXPECT_EQ(0u, HiveRecords());
    LIST_ENTRY noReferences;
    InitializeListHead(&noReferences);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, AHLAddReference(process1, objectA, NULL));
    EXPECT_EQ(STATUS_NOT_FOUND, AHLRemoveReference(objectA, NULL));
    EXPECT_EQ(STATUS_NOT_FOUND, AHLRemoveReference(objectA, &noReferences));
}

TEST_F(AppHiveListTest, BothSpellingsOfARootNameOneHive)
{
    // Each process finds the hive whichever spelling of the root it opened, and the relative
    // name keeps its first character, whichever spelling came first.
    Wide slash(vextest::Text(hive.get()) + u"\\");
    std::u16string lower = vextest::Text(hive.get());
    for (char16_t& unit : lower) {
        unit = (unit >= u'A' && unit <= u'Z') ? unit + 32 : unit;
    }
    Wide below(lower + u"\\Software\\X");
    for (auto [first, second] : {std::pair{hive.get(), slash.get()}, std::pair{slash.get(), hive.get()}}) {
        ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process1, objectA, first));
        ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process2, objectB, second));
        ASSERT_EQ(STATUS_SUCCESS, AHLHoldRootKey(process2, objectB, first));
        for (HANDLE process : {process1, process2}) {
            PVOID rootKey = nullptr;
            std::string relative;
            ASSERT_EQ(STATUS_SUCCESS, Lookup(process, below.get(), &rootKey, &relative));
            EXPECT_EQ("Software\\X", relative);
        }
        // A close under the other spelling forgets the open; the hive goes with the last one.
        AHLDelete(objectA, second);
        AHLDelete(objectB, first);
        EXPECT_EQ(0u, HiveRecords());
    }
}

TEST_F(AppHiveListTest, TheRootItselfHasAnEmptyRelativeName)
{
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(process1, objectA, hive.get()));
    ASSERT_EQ(STATUS_SUCCESS, AHLHoldRootKey(process1, objectA, hive.get()));
    Wide slash(vextest::Text(hive.get()) + u"\\");
    for (PUNICODE_STRING name : {hive.get(), slash.get()}) {
        PVOID object = NULL;
        UNICODE_STRING relative = {1, 1, NULL};
        ASSERT_EQ(STATUS_SUCCESS, AHLLookup(process1, name, &object, &relative));
        ObDereferenceObject(object);
        EXPECT_EQ(0, relative.Length);
        EXPECT_EQ(name->Buffer + name->Length / sizeof(WCHAR), relative.Buffer);
    }
    PVOID object = NULL;
    UNICODE_STRING relative = {};
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, AHLLookup(process2, hive.get(), &object, &relative));
    AHLClear();
    EXPECT_EQ(0u, HiveRecords());
    EXPECT_TRUE(AHLIsEmpty());
}

TEST_F(AppHiveListTest, RootNamesMatchWithOrWithoutTrailingSeparatorOnly)
{
    Wide slash(vextest::Text(hive.get()) + u"\\"), below(vextest::Text(hive.get()) + u"\\Sub");
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
            return AHLInsert(process1, objectA, hive.get());
        },
        [&](NTSTATUS status, int failing) {
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << failing;
            ASSERT_LE((size_t)failing, std::size(lines));
            EXPECT_EQ(lines[failing - 1], vexsim::DebugOutput().back());
            EXPECT_EQ(0u, HiveRecords());
            EXPECT_TRUE(AHLIsEmpty());
        });
    EXPECT_EQ(STATUS_SUCCESS, last);
    // A second process's open of the recorded hive needs only its pair.
    vexsim::FailNthAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AHLInsert(process2, objectB, hive.get()));
    vexsim::ClearAllocationFailures();
    EXPECT_EQ("VexRegFilter.sys: process information allocate error", vexsim::DebugOutput().back());
}

}  // namespace
