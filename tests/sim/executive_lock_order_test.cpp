// Lock-order checking: an order of fast mutexes that closes a cycle with orders seen before, on
// any thread, stops the machine with a report naming the locks and where each order was first
// seen; consistent orders, locks initialised anew and a machine booted without checking do not.
#include "executive_fixture.h"

#include "sim/executive/lock_order.h"

#include <set>
#include <thread>

// Outside an anonymous namespace so the report can name them.
FAST_MUTEX g_lockOrderFirst;
FAST_MUTEX g_lockOrderSecond;
FAST_MUTEX g_lockOrderThird;

namespace {

void TakeInOrder(std::initializer_list<FAST_MUTEX*> locks)
{
    for (FAST_MUTEX* lock : locks) {
        ExAcquireFastMutex(lock);
    }
    for (auto lock = std::rbegin(locks); lock != std::rend(locks); ++lock) {
        ExReleaseFastMutex(*lock);
    }
}

class LockOrderTest : public ExecutiveFixture {
protected:
    void SetUp() override
    {
        ExecutiveFixture::SetUp();
        for (FAST_MUTEX* lock : {&g_lockOrderFirst, &g_lockOrderSecond, &g_lockOrderThird}) {
            ExInitializeFastMutex(lock);
        }
    }
};

TEST_F(LockOrderTest, AnOrderClosingACycleStopsTheMachineWithBothOrders)
{
    // The first order is seen on another thread: the graph spans the whole run.
    std::thread([] { TakeInOrder({&g_lockOrderFirst, &g_lockOrderSecond}); }).join();
    EXPECT_DEATH(TakeInOrder({&g_lockOrderSecond, &g_lockOrderFirst}),
                 "STOP: 0x000000C4 \\(0x0000000000001001, .*lock order cycle.*: fast mutex 0x[0-9a-f]+ "
                 "\\(g_lockOrderFirst\\+0x0\\) taken at .* while holding fast mutex 0x[0-9a-f]+ "
                 "\\(g_lockOrderSecond\\+0x0\\).*the opposite order was first seen as: \\[fast mutex .*"
                 "\\(g_lockOrderSecond\\+0x0\\) taken at 0x[0-9a-f]+ \\(sim_tests\\+0x[0-9a-f]+\\) while holding .*"
                 "\\(g_lockOrderFirst\\+0x0\\)");
    // Through a third lock the cycle is longer, and the report walks it.
    TakeInOrder({&g_lockOrderSecond, &g_lockOrderThird});
    EXPECT_DEATH(TakeInOrder({&g_lockOrderThird, &g_lockOrderFirst}),
                 "lock order cycle.*g_lockOrderFirst.*while holding.*g_lockOrderThird.*first seen as: "
                 "\\[.*g_lockOrderSecond.*while holding.*g_lockOrderFirst.*\\] "
                 "\\[.*g_lockOrderThird.*while holding.*g_lockOrderSecond.*\\]");
}

TEST_F(LockOrderTest, ConsistentOrdersAndReinitialisedLocksPass)
{
    std::thread([] { TakeInOrder({&g_lockOrderFirst, &g_lockOrderSecond, &g_lockOrderThird}); }).join();
    TakeInOrder({&g_lockOrderFirst, &g_lockOrderThird});
    TakeInOrder({&g_lockOrderSecond, &g_lockOrderThird});
    // A try cannot block, so holding First is no order for it; taking Second inside it is.
    ExAcquireFastMutex(&g_lockOrderThird);
    ASSERT_TRUE(ExTryToAcquireFastMutex(&g_lockOrderFirst));
    ExReleaseFastMutex(&g_lockOrderFirst);
    ExReleaseFastMutex(&g_lockOrderThird);
    EXPECT_EQ(3u, vexsim::LockOrders().size());
    // Memory initialised anew is a new lock: the old one's orders go with it.
    ExInitializeFastMutex(&g_lockOrderFirst);
    TakeInOrder({&g_lockOrderThird, &g_lockOrderFirst});
    using Orders = std::set<std::pair<const void*, const void*>>;
    auto orders = vexsim::LockOrders();
    Orders expected{{&g_lockOrderSecond, &g_lockOrderThird}, {&g_lockOrderThird, &g_lockOrderFirst}};
    EXPECT_EQ(expected, Orders(orders.begin(), orders.end()));
}

class LockOrderOffTest : public LockOrderTest {
protected:
    LockOrderOffTest() { config.lockOrderChecking = false; }
};

TEST_F(LockOrderOffTest, AMachineBootedWithoutCheckingRecordsNothing)
{
    TakeInOrder({&g_lockOrderFirst, &g_lockOrderSecond});
    TakeInOrder({&g_lockOrderSecond, &g_lockOrderFirst});
    EXPECT_TRUE(vexsim::LockOrders().empty());
}

}  // namespace
