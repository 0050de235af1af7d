// Filter manager: registration checks, unloading through the filter's callback, leftovers.
#include "sim/executive/fault_injection.h"
#include "sim/flt/filter.h"
#include "sim/io/io.h"
#include "sim/ob/object.h"
#include "sim_fixture.h"

namespace vexsim::test {
namespace {

static_assert(sizeof(FLT_REGISTRATION) == 104);
static_assert(offsetof(FLT_REGISTRATION, FilterUnloadCallback) == 24);

PFLT_FILTER g_filter = nullptr;
FLT_FILTER_UNLOAD_FLAGS g_flagsSeen = 0xFFFF;
NTSTATUS g_unloadAnswer = STATUS_SUCCESS;

NTSTATUS FLTAPI Unload(FLT_FILTER_UNLOAD_FLAGS flags)
{
    g_flagsSeen = flags;
    if (NT_SUCCESS(g_unloadAnswer) || (flags & FLTFL_FILTER_UNLOAD_MANDATORY)) {
        FltUnregisterFilter(g_filter);
    }
    return g_unloadAnswer;
}

const FLT_OPERATION_REGISTRATION kNoOperations[] = {{IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
const FLT_OPERATION_REGISTRATION kCreateOnly[] = {{IRP_MJ_CREATE, 0, nullptr, nullptr, nullptr},
                                                  {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
const FLT_OPERATION_REGISTRATION kBadMajor[] = {{0x40, 0, nullptr, nullptr, nullptr},
                                                {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
FLT_OPERATION_REGISTRATION g_unterminated[64];

class FilterManagerTest : public SimKernelTest {
protected:
    void SetUp() override
    {
        SimKernelTest::SetUp();
        driver_ = CreateDriverObject(u"VexTest");
        g_filter = nullptr;
        g_flagsSeen = 0xFFFF;
        g_unloadAnswer = STATUS_SUCCESS;
    }

    void TearDown() override
    {
        DeleteDriverObject(driver_);
        SimKernelTest::TearDown();
    }

    static FLT_REGISTRATION Registration()
    {
        FLT_REGISTRATION registration{};
        registration.Size = sizeof(FLT_REGISTRATION);
        registration.Version = FLT_REGISTRATION_VERSION;
        registration.OperationRegistration = kNoOperations;
        registration.FilterUnloadCallback = Unload;
        return registration;
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(FilterManagerTest, RegistrationChecksSizeVersionAndOperationList)
{
    for (auto& operation : g_unterminated) {
        operation.MajorFunction = IRP_MJ_CREATE;
    }
    struct Case {
        USHORT size;
        USHORT version;
        const FLT_OPERATION_REGISTRATION* operations;
        NTSTATUS expected;
    } cases[] = {
        {104, 0x0202, kNoOperations, STATUS_SUCCESS},
        {104, 0x0202, kCreateOnly, STATUS_SUCCESS},
        {104, 0x0202, nullptr, STATUS_SUCCESS},                       // no operations at all
        {103, 0x0202, kNoOperations, STATUS_INVALID_PARAMETER},       // size one short
        {112, 0x0202, kNoOperations, STATUS_INVALID_PARAMETER},       // a later layout's size
        {104, 0x0201, kNoOperations, STATUS_INVALID_PARAMETER},
        {104, 0x0203, kNoOperations, STATUS_INVALID_PARAMETER},
        {104, 0x0202, kBadMajor, STATUS_INVALID_PARAMETER},           // no such major function
        {104, 0x0202, g_unterminated, STATUS_INVALID_PARAMETER},      // no IRP_MJ_OPERATION_END
    };
    for (const Case& c : cases) {
        FLT_REGISTRATION registration = Registration();
        registration.Size = c.size;
        registration.Version = c.version;
        registration.OperationRegistration = c.operations;
        PFLT_FILTER filter = reinterpret_cast<PFLT_FILTER>(1);
        EXPECT_EQ(c.expected, FltRegisterFilter(driver_, &registration, &filter)) << c.size << " " << std::hex << c.version;
        if (c.expected == STATUS_SUCCESS) {
            FltUnregisterFilter(filter);
        } else {
            EXPECT_EQ(nullptr, filter);
        }
    }
    EXPECT_EQ(0u, RegisteredFilterCount());
}

TEST_F(FilterManagerTest, RegistrationFailsForLackOfPoolAndRegistersNothing)
{
    FLT_REGISTRATION registration = Registration();
    LONG_PTR driverReferences = HeaderOf(driver_).references.load();
    PFLT_FILTER filter = reinterpret_cast<PFLT_FILTER>(1);
    FailNthAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, FltRegisterFilter(driver_, &registration, &filter));
    ClearAllocationFailures();
    EXPECT_EQ(nullptr, filter);
    EXPECT_EQ(0u, RegisteredFilterCount());
    EXPECT_EQ(driverReferences, HeaderOf(driver_).references.load()) << "no filter holds the driver";
}

// A filter without an unload callback is never asked: it stays, and only a mandatory unload
// goes on without it (nobody unregisters it then).
TEST_F(FilterManagerTest, UnloadAsksTheFilterAndReportsItsAnswer)
{
    struct Case {
        bool callback;
        bool mandatory;
        NTSTATUS answer;
        NTSTATUS expected;
        size_t left;
    } cases[] = {
        {true, false, STATUS_SUCCESS, STATUS_SUCCESS, 0},
        {true, false, STATUS_FLT_DO_NOT_DETACH, STATUS_FLT_DO_NOT_DETACH, 1},  // the filter refuses; it stays
        {true, true, STATUS_SUCCESS, STATUS_SUCCESS, 0},
        {false, false, STATUS_SUCCESS, STATUS_FLT_DO_NOT_DETACH, 1},
        {false, true, STATUS_SUCCESS, STATUS_SUCCESS, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "callback " << c.callback << " mandatory " << c.mandatory);
        FLT_REGISTRATION registration = Registration();
        registration.FilterUnloadCallback = c.callback ? Unload : nullptr;
        ASSERT_EQ(STATUS_SUCCESS, FltRegisterFilter(driver_, &registration, &g_filter));
        g_flagsSeen = 0xFFFF;
        g_unloadAnswer = c.answer;
        EXPECT_EQ(c.expected, UnloadFilters(driver_, c.mandatory));
        EXPECT_EQ(!c.callback ? 0xFFFFu : c.mandatory ? static_cast<ULONG>(FLTFL_FILTER_UNLOAD_MANDATORY) : 0u, g_flagsSeen);
        EXPECT_EQ(c.left, RegisteredFilterCount());
        if (c.left != 0) {
            EXPECT_EQ(Leftovers{"filter of \\Driver\\VexTest still registered"}, AllLeftovers());
            FltUnregisterFilter(g_filter);
        }
    }
    EXPECT_EQ(Leftovers{}, AllLeftovers());
}

TEST_F(FilterManagerTest, UnregisteringTwiceStopsTheMachine)
{
    FLT_REGISTRATION registration = Registration();
    PFLT_FILTER filter = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, FltRegisterFilter(driver_, &registration, &filter));
    FltUnregisterFilter(filter);
    EXPECT_DEATH(FltUnregisterFilter(filter), "STOP.*not registered");
}

}  // namespace
}  // namespace vexsim::test
