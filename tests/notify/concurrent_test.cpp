// The channel under contention: processes start and exit on several threads, clients connect and
// leave, one client reads everything, and the driver unloads at the end with nothing left.
#include "tests/notify/notify_fixture.h"

#include <atomic>
#include <thread>

namespace {

class NotifyConcurrentTest : public vextest::NotifyTest {};

TEST_F(NotifyConcurrentTest, ClientsComeAndGoWhileProcessesStartExitAndSendsRun)
{
    constexpr int kRounds = 25;
    Client reader = Connect();
    ASSERT_EQ(STATUS_SUCCESS, reader.status);
    std::atomic<int> received{0};
    std::thread readerThread([&] {
        vexsim::UserModeScope user(reader.process);
        vexsim::PortMessage message;
        while (vexsim::UserGetMessage(reader.port, &message) == STATUS_SUCCESS) {
            (void)vexsim::UserReplyMessage(reader.port, message.messageId, nullptr, 0);
            received++;
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < 2; t++) {
        workers.emplace_back([&] {
            for (int i = 0; i < kRounds; i++) {
                Client client = Connect();
                if (client.status == STATUS_SUCCESS) {
                    EXPECT_EQ(STATUS_SUCCESS, Disconnect(client));
                } else {
                    EXPECT_EQ(vexsim::kStatusConnectionCountLimit, client.status);
                }
                vexsim::EndProcess(client.process);
            }
        });
        workers.emplace_back([&, t] {
            for (int i = 0; i < kRounds; i++) {
                PEPROCESS process = Start(t == 0 ? vextest::kCmd : vextest::kCmd32);
                vexsim::EndProcess(process);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }

    ASSERT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(ForwardProcessNotify, TRUE));
    vexsim::UnloadResult result = vexsim::UnloadDriver();
    readerThread.join();
    EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
    EXPECT_GT(received.load(), 0);
    EXPECT_EQ(STATUS_SUCCESS, Disconnect(reader));
}

}  // namespace
