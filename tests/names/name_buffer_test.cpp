// Owned counted strings: capacities within what a counted string holds, appends within the
// capacity, copies at least as large as their source.
#include "common/name_buffer.h"

#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

namespace {

using NameBufferTest = vextest::MachineTest;

TEST_F(NameBufferTest, CapacitiesBeyondACountedStringAreRefused)
{
    struct Case {
        ULONG capacity;
        NTSTATUS status;
    } cases[] = {{0, STATUS_SUCCESS}, {MAX_COUNTED_BYTES, STATUS_SUCCESS}, {MAX_COUNTED_BYTES + 1, STATUS_NAME_TOO_LONG}};
    for (const Case& c : cases) {
        UNICODE_STRING name = {};
        EXPECT_EQ(c.status, AllocateName(&name, c.capacity)) << c.capacity;
        EXPECT_EQ(c.status == STATUS_SUCCESS, name.Buffer != nullptr) << "an empty name still has a buffer";
        EXPECT_EQ(c.status == STATUS_SUCCESS ? c.capacity : 0u, name.MaximumLength);
        EXPECT_EQ(0, name.Length);
        FreeOwnedString(&name);
    }
}

TEST_F(NameBufferTest, AppendsNeverPassTheCapacity)
{
    vextest::Wide ab(u"ab"), cd(u"cd"), registry(u"\\REGISTRY\\X");
    UNICODE_STRING name = {};
    ASSERT_EQ(STATUS_SUCCESS, AllocateName(&name, 6));
    AppendName(&name, ab.get());
    AppendName(&name, cd.get());  // 8 bytes would not fit in 6: nothing of it is written
    EXPECT_EQ(u"ab", vextest::Text(&name));
    AppendNameBytes(&name, cd.get()->Buffer, sizeof(WCHAR));
    EXPECT_EQ(u"abc", vextest::Text(&name)) << "an append that fits exactly";
    FreeOwnedString(&name);

    ASSERT_EQ(STATUS_SUCCESS, AllocateName(&name, 8));
    AppendNameTail(&name, registry.get(), 9 * sizeof(WCHAR));
    AppendNameTail(&name, registry.get(), registry.get()->Length);  // nothing left after the skip
    EXPECT_EQ(u"\\X", vextest::Text(&name));
    FreeOwnedString(&name);
}

TEST_F(NameBufferTest, CopiesAreAtLeastAsLargeAsTheirSource)
{
    vextest::Wide source(u"abcd");
    for (ULONG capacity : {0u, 8u, 20u}) {
        UNICODE_STRING copy = {};
        ASSERT_EQ(STATUS_SUCCESS, CopyName(&copy, source.get(), capacity));
        EXPECT_EQ(u"abcd", vextest::Text(&copy));
        EXPECT_EQ(capacity > 8 ? capacity : 8u, copy.MaximumLength);
        FreeOwnedString(&copy);
    }
}

}  // namespace
