// Services that start, stop, configure and dump at once: the configuration lock lets one of them
// change redirection at a time, so no start registers a second callback or loses a cookie, no
// setter frees a name a start is using, and the last stop leaves nothing behind.
#include "tests/driver/control_fixture.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace {

using namespace vextest;

TEST_F(ControlTest, ConcurrentStartsStopsSettersAndDumps)
{
    {
        KernelKey root;
        ASSERT_EQ(STATUS_SUCCESS, root.CreatePath(std::u16string(kRedirectRoot) + u"\\MACHINE"));
    }
    constexpr int kServices = 4;
    constexpr int kRounds = 40;
    std::vector<std::unique_ptr<ControlService>> services;
    for (int i = 0; i < kServices; i++) {
        services.push_back(std::make_unique<ControlService>());
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kServices; i++) {
        threads.emplace_back([&, i] {
            std::mt19937 random(1000 + i);
            const ControlService& service = *services[i];
            for (int round = 0; round < kRounds; round++) {
                switch (random() % 7) {
                case 0:
                    (void)service.Send(IOCTL_SANDBOX_START_REG_REDIRECT, {});
                    break;
                case 1:
                    (void)service.Send(IOCTL_SANDBOX_STOP_REG_REDIRECT, {});
                    break;
                case 2:
                    (void)service.SendText(IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME, kRedirectRoot);
                    break;
                case 3:
                    (void)service.SendText(IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME, kRedirectUserClasses);
                    break;
                case 4:
                    (void)service.SendText(IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME, kRedirectMachineClasses);
                    break;
                case 5:
                    (void)service.Send(IOCTL_SANDBOX_SET_REG_VALUE,
                                       RegValueBlock(std::u16string(kRedirectRoot) + u"\\MACHINE", u"V", REG_DWORD, UlongBytes({1}), 4));
                    break;
                default:
                    (void)service.Send(IOCTL_OUTPUT_CURRENT_PARAM, {});
                    break;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SANDBOX_STOP_REG_REDIRECT).status);
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    EXPECT_EQ(0, data->CallbackCookie.QuadPart);
    EXPECT_FALSE(data->ProcessNotifyRegistered);
    EXPECT_FALSE(data->ImageNotifyRegistered);
    EXPECT_EQ(nullptr, data->UserClassesEnumThread);
    EXPECT_EQ(nullptr, data->MachineClassesEnumThread);
    EXPECT_FALSE(IsNameSet(&data->RedirectRootKeyName));
    // A second callback or a lost cookie would be left registered: the unload check finds it.
}

}  // namespace
