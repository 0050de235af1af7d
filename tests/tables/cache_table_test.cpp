// Cache table: insert-if-absent, lookups with private value copies, case rules, IRQL rules and
// every allocation failure.
#include "tables/cache_table.h"

#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class CacheTableTest : public vextest::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, CTInitialize(&table));
    }
    void TearDown() override
    {
        EXPECT_EQ(STATUS_SUCCESS, CTFinalize(&table));
        MachineTest::TearDown();
    }
    ULONG Count()
    {
        ULONG count = 0;
        EXPECT_EQ(STATUS_SUCCESS, CTGetElementCount(&table, &count));
        return count;
    }
    CACHE_TABLE table = {};
};

TEST_F(CacheTableTest, KeepsTheFirstValueOfAKeyInsertedTwice)
{
    vextest::Wide key(u"C:\\PROGRA~1\\app.exe"), first(u"C:\\Program Files\\app.exe"), second(u"other");
    EXPECT_EQ(STATUS_SUCCESS, CTInsertElement(&table, key.get(), first.get(), NULL, FALSE));
    EXPECT_EQ(STATUS_SUCCESS, CTInsertElement(&table, key.get(), second.get(), NULL, FALSE));
    EXPECT_EQ(1u, Count());

    UNICODE_STRING value = {};
    ASSERT_EQ(STATUS_SUCCESS, CTLookupElement(&table, key.get(), &value, NULL, NULL, FALSE));
    EXPECT_EQ(u"C:\\Program Files\\app.exe", vextest::Text(&value));
    EXPECT_EQ(value.Length + sizeof(WCHAR), value.MaximumLength);
    EXPECT_EQ(UNICODE_NULL, value.Buffer[value.Length / sizeof(WCHAR)]);  // the copy is NUL-terminated
    ExFreePoolWithTag(value.Buffer, 'RxeV');
}

TEST_F(CacheTableTest, CaseMattersOnlyThroughTheHash)
{
    vextest::Wide upper(u"\\A\\B\\"), lower(u"\\a\\b\\");
    EXPECT_EQ(STATUS_SUCCESS, CTInsertElement(&table, upper.get(), NULL, NULL, TRUE));
    EXPECT_EQ(STATUS_SUCCESS, CTInsertElement(&table, lower.get(), NULL, NULL, TRUE));
    EXPECT_EQ(1u, Count());
    EXPECT_EQ(STATUS_SUCCESS, CTLookupElement(&table, lower.get(), NULL, NULL, NULL, TRUE));

    // Case-sensitive hashes make the two keys different elements.
    EXPECT_EQ(STATUS_NOT_FOUND, CTLookupElement(&table, lower.get(), NULL, NULL, NULL, FALSE));
    EXPECT_EQ(STATUS_SUCCESS, CTInsertElement(&table, lower.get(), NULL, NULL, FALSE));
    EXPECT_EQ(2u, Count());

    // With one hash supplied for both, keys that differ only in case are one element.
    ULONG hash = 7;
    vextest::Wide other(u"\\X\\"), otherLower(u"\\x\\");
    EXPECT_EQ(STATUS_SUCCESS, CTInsertElement(&table, other.get(), NULL, &hash, FALSE));
    EXPECT_EQ(STATUS_SUCCESS, CTLookupElement(&table, otherLower.get(), NULL, &hash, NULL, FALSE));
}

TEST_F(CacheTableTest, LookupReportsTheHashAndLeavesTheValueOfAValuelessElement)
{
    vextest::Wide key(u"\\REGISTRY\\MACHINE\\SOFTWARE\\"), missing(u"\\REGISTRY\\USER\\");
    ASSERT_EQ(STATUS_SUCCESS, CTInsertElement(&table, key.get(), NULL, NULL, TRUE));

    WCHAR sentinel[] = L"keep";
    UNICODE_STRING value = {8, 10, sentinel};
    ULONG hash = 0;
    EXPECT_EQ(STATUS_SUCCESS, CTLookupElement(&table, key.get(), &value, NULL, &hash, TRUE));
    EXPECT_EQ(sentinel, value.Buffer);

    ULONG expected = 0;
    ASSERT_EQ(STATUS_SUCCESS, RtlHashUnicodeString(missing.get(), TRUE, HASH_STRING_ALGORITHM_X65599, &expected));
    hash = 0;
    EXPECT_EQ(STATUS_NOT_FOUND, CTLookupElement(&table, missing.get(), NULL, NULL, &hash, TRUE));
    EXPECT_EQ(expected, hash);
}

TEST_F(CacheTableTest, EqualHashesAreOrderedByLengthThenByUpcasedKey)
{
    ULONG hash = 42, smaller = 41;
    for (const char16_t* key : {u"b", u"A", u"aa", u"C", u"Ab", u"a"}) {
        vextest::Wide wide(key);
        ASSERT_EQ(STATUS_SUCCESS, CTInsertElement(&table, wide.get(), NULL, &hash, FALSE));
    }
    vextest::Wide last(u"zz");
    ASSERT_EQ(STATUS_SUCCESS, CTInsertElement(&table, last.get(), NULL, &smaller, FALSE));
    std::vector<std::u16string> order;
    for (PVOID element = RtlEnumerateGenericTable(&table.Table, TRUE); element != NULL;
         element = RtlEnumerateGenericTable(&table.Table, FALSE)) {
        order.push_back(vextest::Text(&static_cast<PCT_ELEMENT>(element)->Key));
    }
    // "a" is "A" ignoring case: one element, the first spelling kept.
    EXPECT_EQ((std::vector<std::u16string>{u"zz", u"A", u"b", u"C", u"aa", u"Ab"}), order);
}

TEST_F(CacheTableTest, EmptyKeysOfOneHashAreOneElement)
{
    // An empty key may come without a buffer: nothing is copied from it.
    UNICODE_STRING empty = {0, 0, (PWSTR)L""}, noBuffer = {0, 0, NULL};
    EXPECT_EQ(STATUS_SUCCESS, CTInsertElement(&table, &noBuffer, NULL, NULL, TRUE));
    EXPECT_EQ(STATUS_SUCCESS, CTInsertElement(&table, &empty, NULL, NULL, TRUE));
    EXPECT_EQ(1u, Count());
    EXPECT_EQ(STATUS_SUCCESS, CTLookupElement(&table, &noBuffer, NULL, NULL, NULL, TRUE));
}

TEST_F(CacheTableTest, StaysUsableAfterBeingEmptied)
{
    vextest::Wide key(u"\\K\\");
    ASSERT_EQ(STATUS_SUCCESS, CTInsertElement(&table, key.get(), NULL, NULL, TRUE));
    EXPECT_EQ(STATUS_SUCCESS, CTFinalize(&table));
    EXPECT_EQ(0u, Count());
    EXPECT_EQ(STATUS_NOT_FOUND, CTLookupElement(&table, key.get(), NULL, NULL, NULL, TRUE));
    EXPECT_EQ(STATUS_SUCCESS, CTInsertElement(&table, key.get(), NULL, NULL, TRUE));
    EXPECT_EQ(1u, Count());
}

TEST_F(CacheTableTest, RefusesMissingArgumentsAndRaisedIrql)
{
    vextest::Wide key(u"\\K\\");
    ULONG count = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CTInitialize(NULL));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CTFinalize(NULL));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CTDeleteAllElements(NULL));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CTGetElementCount(NULL, &count));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CTGetElementCount(&table, NULL));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CTInsertElement(&table, NULL, NULL, NULL, TRUE));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CTLookupElement(NULL, key.get(), NULL, NULL, NULL, TRUE));
    EXPECT_TRUE(vextest::HasDebugLine("CTGetElementCount fail NTSTATUS = 0xc000000d"));

    // At DISPATCH_LEVEL the lock cannot be taken: nothing walks or changes the table.
    ASSERT_EQ(STATUS_SUCCESS, CTInsertElement(&table, key.get(), NULL, NULL, TRUE));
    vextest::Wide other(u"\\Other\\");
    count = 7;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS lookup = CTLookupElement(&table, key.get(), NULL, NULL, NULL, TRUE);
    NTSTATUS insert = CTInsertElement(&table, other.get(), NULL, NULL, TRUE);
    NTSTATUS counted = CTGetElementCount(&table, &count);
    NTSTATUS deleted = CTDeleteAllElements(&table);
    NTSTATUS finalized = CTFinalize(&table);
    KeLowerIrql(old);
    for (NTSTATUS status : {lookup, insert, counted, deleted, finalized}) {
        EXPECT_EQ(STATUS_UNSUCCESSFUL, status);
    }
    EXPECT_EQ(7u, count);
    EXPECT_EQ(1u, Count());
    EXPECT_TRUE(vextest::HasDebugLine("CTDeleteAllElements fail NTSTATUS = 0xc0000001"));
}

TEST_F(CacheTableTest, AFailedInsertLeavesNothingBehind)
{
    vextest::Wide key(u"C:\\PROGRA~1\\"), value(u"C:\\Program Files\\"), other(u"C:\\WINDOWS\\");
    ASSERT_EQ(STATUS_SUCCESS, CTInsertElement(&table, other.get(), NULL, NULL, FALSE));

    int failures = 0;
    NTSTATUS status = vextest::ForEachAllocationFailure(
        [&] { return CTInsertElement(&table, key.get(), value.get(), NULL, FALSE); },
        [&](NTSTATUS failed, int failure) {
            failures++;
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, failed) << "failure " << failure;
            EXPECT_EQ(1u, Count()) << "failure " << failure;
            EXPECT_EQ(STATUS_NOT_FOUND, CTLookupElement(&table, key.get(), NULL, NULL, NULL, FALSE));
            EXPECT_EQ(STATUS_SUCCESS, CTLookupElement(&table, other.get(), NULL, NULL, NULL, FALSE));
        });
    EXPECT_EQ(3, failures);  // the node, the key and the value
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(2u, Count());
}

TEST_F(CacheTableTest, AFailedValueCopyOnLookupReportsIt)
{
    vextest::Wide key(u"a"), value(u"b");
    ASSERT_EQ(STATUS_SUCCESS, CTInsertElement(&table, key.get(), value.get(), NULL, FALSE));
    NTSTATUS status = vextest::ForEachAllocationFailure(
        [&] {
            UNICODE_STRING copy = {};
            NTSTATUS status = CTLookupElement(&table, key.get(), &copy, NULL, NULL, FALSE);
            if (NT_SUCCESS(status)) {
                ExFreePoolWithTag(copy.Buffer, 'RxeV');
            }
            return status;
        },
        [&](NTSTATUS failed, int) { EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, failed); });
    EXPECT_EQ(STATUS_SUCCESS, status);
}

TEST_F(CacheTableTest, StoresOnlyValuesWhoseNulTerminatedCopyFitsACountedString)
{
    struct Case {
        size_t characters;
        NTSTATUS expected;
    } cases[] = {
        {0x7FFE, STATUS_SUCCESS},           // 0xFFFC bytes: the copy with its NUL is 0xFFFE bytes
        {0x7FFF, STATUS_INVALID_PARAMETER},  // 0xFFFE bytes: the copy would need 0x10000 bytes
    };
    for (const Case& c : cases) {
        vextest::Wide key(u"k" + std::u16string(c.characters % 7, u'x'));
        std::u16string text(c.characters, u'v');
        vextest::Wide value(text);
        EXPECT_EQ(c.expected, CTInsertElement(&table, key.get(), value.get(), NULL, FALSE)) << c.characters;
        UNICODE_STRING copy = {};
        NTSTATUS found = CTLookupElement(&table, key.get(), &copy, NULL, NULL, FALSE);
        if (c.expected != STATUS_SUCCESS) {
            EXPECT_EQ(STATUS_NOT_FOUND, found) << "a refused value leaves nothing";
            continue;
        }
        ASSERT_EQ(STATUS_SUCCESS, found) << c.characters;
        EXPECT_EQ(0xFFFE, copy.MaximumLength);
        EXPECT_EQ(text, vextest::Text(&copy));
        EXPECT_EQ(UNICODE_NULL, copy.Buffer[copy.Length / sizeof(WCHAR)]);
        ExFreePoolWithTag(copy.Buffer, 'RxeV');
    }
    EXPECT_EQ(1u, Count());
}

TEST_F(CacheTableTest, ConcurrentInsertsAndLookupsKeepOneElementPerKey)
{
    const int keys = 200;
    auto keyOf = [](int i) { return u"\\REGISTRY\\MACHINE\\SOFTWARE\\K" + vextest::Utf16(std::to_string(i)) + u"\\"; };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < keys; n++) {
                int i = (n * 7 + t * 50) % keys;  // every thread inserts every key, in its own order
                vextest::Wide key(keyOf(i)), value(u"v" + vextest::Utf16(std::to_string(i)));
                EXPECT_EQ(STATUS_SUCCESS, CTInsertElement(&table, key.get(), value.get(), NULL, TRUE));
                UNICODE_STRING copy = {};
                ASSERT_EQ(STATUS_SUCCESS, CTLookupElement(&table, key.get(), &copy, NULL, NULL, TRUE));
                EXPECT_EQ(u"v" + vextest::Utf16(std::to_string(i)), vextest::Text(&copy));
                FreeOwnedString(&copy);
                ULONG count = 0;
                EXPECT_EQ(STATUS_SUCCESS, CTGetElementCount(&table, &count));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ((ULONG)keys, Count());
}

}  // namespace
