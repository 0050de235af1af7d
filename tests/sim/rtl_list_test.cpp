// Doubly linked lists: order, the empty-list answer, and the corruption stop.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Item {
    int value;
    LIST_ENTRY link;
};

std::vector<int> Values(LIST_ENTRY& head)
{
    std::vector<int> values;
    for (PLIST_ENTRY entry = head.Flink; entry != &head; entry = entry->Flink) {
        values.push_back(CONTAINING_RECORD(entry, Item, link)->value);
    }
    return values;
}

TEST(Lists, InsertAndRemoveAtBothEndsAndSayWhenTheListBecameEmpty)
{
    LIST_ENTRY head;
    InitializeListHead(&head);
    EXPECT_TRUE(IsListEmpty(&head));
    Item a{1, {}}, b{2, {}}, c{3, {}}, d{4, {}};
    InsertTailList(&head, &b.link);
    InsertHeadList(&head, &a.link);
    InsertTailList(&head, &c.link);
    InsertTailList(&head, &d.link);
    EXPECT_EQ(Values(head), (std::vector<int>{1, 2, 3, 4}));

    EXPECT_EQ(RemoveHeadList(&head), &a.link);
    EXPECT_EQ(RemoveTailList(&head), &d.link);
    EXPECT_FALSE(RemoveEntryList(&c.link));  // b is still there
    EXPECT_EQ(Values(head), (std::vector<int>{2}));
    EXPECT_TRUE(RemoveEntryList(&b.link));  // the list became empty
    EXPECT_TRUE(IsListEmpty(&head));
    EXPECT_EQ(RemoveHeadList(&head), &head);  // an empty list hands back its head
}

class ListsDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ListsDeathTest, CorruptionStopsTheMachine)
{
    auto removeTwice = [](bool onlyEntry) {
        LIST_ENTRY head;
        InitializeListHead(&head);
        Item a{1, {}}, b{2, {}};
        InsertTailList(&head, &a.link);
        if (!onlyEntry) {
            InsertTailList(&head, &b.link);
        }
        RemoveEntryList(&a.link);
        RemoveEntryList(&a.link);
    };
    EXPECT_DEATH(removeTwice(true), "corrupt list entry in RemoveEntryList");
    EXPECT_DEATH(removeTwice(false), "corrupt list entry in RemoveEntryList");

    auto brokenHead = [](bool atTail) {
        LIST_ENTRY head;
        InitializeListHead(&head);
        Item a{1, {}}, b{2, {}};
        InsertTailList(&head, &a.link);
        a.link.Blink = &b.link;  // a stray write over the back link
        a.link.Flink = &b.link;
        if (atTail) {
            RemoveTailList(&head);
        } else {
            InsertHeadList(&head, &b.link);
        }
    };
    EXPECT_DEATH(brokenHead(true), "corrupt list entry in RemoveTailList");
    EXPECT_DEATH(brokenHead(false), "corrupt list entry in InsertHeadList");
}

}  // namespace
