// The control client's encoding and decoding against a fake device: the exact bytes each control
// sends, the answers it decodes, and the answers and inputs it refuses.
#include "client/control_client.h"
#include "client/port_client.h"
#include "driver/control_codes.h"
#include "log/log_format.h"
#include "notify/process_message_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>

namespace {

using vexclient::ControlClient;
using vexclient::NtStatus;
using Bytes = std::vector<uint8_t>;

// One answer of the fake device: a status, bytes written at the start of the output buffer (as
// far as it reaches) and the information field.
struct Answer {
    NtStatus status = vexclient::kStatusSuccess;
    Bytes written;
    uint32_t information = 0;
};

struct Request {
    uint32_t code = 0;
    Bytes input;
    size_t outputLength = 0;
};

class FakeDevice : public vexclient::DeviceTransport {
public:
    NtStatus Control(uint32_t code, const Bytes& input, Bytes& output, uint32_t* returned) override
    {
        requests.push_back({code, input, output.size()});
        Answer answer = answers.empty() ? Answer{} : answers.front();
        if (!answers.empty()) {
            answers.pop_front();
        }
        std::copy_n(answer.written.begin(), std::min(output.size(), answer.written.size()), output.begin());
        *returned = answer.information;
        return answer.status;
    }
    NtStatus CreateLogEvent(uint64_t* handle) override { return *handle = 0x44, vexclient::kStatusSuccess; }
    NtStatus WaitLogEvent(uint64_t, uint32_t) override { return vexclient::kStatusTimeout; }

    std::deque<Answer> answers;
    std::vector<Request> requests;
};

Bytes U32s(std::initializer_list<uint32_t> values)
{
    Bytes bytes;
    for (uint32_t value : values) {
        for (int i = 0; i < 4; i++) {
            bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
    }
    return bytes;
}

// UTF-16LE with the terminating NUL.
Bytes Text(const std::u16string& text)
{
    Bytes bytes;
    for (char16_t unit : text + u'\0') {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct RequestCase {
    const char* name;
    std::function<void(ControlClient&)> call;
    uint32_t code;
    Bytes input;
    size_t outputLength;
};

TEST(ControlClientTest, EachControlSendsItsCodeTheExactInputAndAnOutputOfItsAnswersSize)
{
    const size_t kPidList = PID_LIST_COUNT_SIZE + 64 * PID_LIST_ENTRY_SIZE;
    const size_t kPairList = PID_LIST_COUNT_SIZE + 64 * PID_PPID_LIST_ENTRY_SIZE;
    const size_t kListing = 64 * 1024;
    const size_t kLog = LOG_QUEUE_LIMIT * LOG_RECORD_BODY_SIZE;
    const RequestCase cases[] = {
        {"set-parent", [](ControlClient& c) { c.SetParentProcess(u"C:\\a.exe"); }, 0x222000, Text(u"C:\\a.exe"), 4},
        {"delete", [](ControlClient& c) { c.DeleteProcess(0x01020304); }, 0x222004, {4, 3, 2, 1}, 0},
        {"is-under", [](ControlClient& c) { c.IsUnderSandbox(0x1234); }, 0x222008, U32s({0x1234}), 4},
        {"redirect-key", [](ControlClient& c) { c.SetRedirectKeyName(u"\\R"); }, 0x22200C, Text(u"\\R"), 0},
        {"start", [](ControlClient& c) { c.StartRegRedirect(); }, 0x222014, {}, 0},
        {"stop", [](ControlClient& c) { c.StopRegRedirect(); }, 0x222018, {}, 0},
        {"user-classes", [](ControlClient& c) { c.SetRedirectUserClassesKeyName(u"\\U"); }, 0x22201C, Text(u"\\U"), 0},
        {"machine-classes", [](ControlClient& c) { c.SetRedirectMachineClassesKeyName(u"\\M"); }, 0x222020, Text(u"\\M"), 0},
        {"is-exist", [](ControlClient& c) { c.IsExistUnderSandbox(); }, 0x222024, {}, 4},
        {"exclude-key", [](ControlClient& c) { c.AddExcludeKeyName(u"\\K"); }, 0x222040, Text(u"\\K"), 0},
        {"reset-keys", [](ControlClient& c) { c.ResetExcludeKeyName(); }, 0x222044, {}, 0},
        {"pid-list", [](ControlClient& c) { c.GetPidListUnderSandbox(); }, 0x222048, {}, kPidList},
        {"start-log", [](ControlClient& c) { c.StartLogging(0x1122334455667788, 0x42); }, 0x22204C,
         Concat(U32s({0x55667788, 0x11223344}), U32s({0x42})), 0},
        {"stop-log", [](ControlClient& c) { c.StopLogging(); }, 0x222050, {}, 0},
        {"log-data", [](ControlClient& c) { c.GetLogData(); }, 0x222054, {}, kLog},
        {"set-process", [](ControlClient& c) { c.SetProcess(u"b"); }, 0x222058, Text(u"b"), 4},
        {"set-root", [](ControlClient& c) { c.SetRootProcess(u"r"); }, 0x22205C, Text(u"r"), 4},
        {"child-of-root", [](ControlClient& c) { c.GetChildOfRootPidList(); }, 0x222060, {}, kPidList},
        {"exclusion", [](ControlClient& c) { c.AddExclusionProcess(u"x"); }, 0x222064, Text(u"x"), 4},
        {"cui", [](ControlClient& c) { c.GetCuiPidList(); }, 0x222080, {}, kListing},
        {"surrogates", [](ControlClient& c) { c.GetSurrogatePidList({u"dllhost.exe", u"", u"x.exe"}); }, 0x222084,
         Text(u"dllhost.exe**x.exe"), kListing},
        {"dump", [](ControlClient& c) { c.OutputCurrentParam(); }, 0x222088, {}, 0},
        {"pairs", [](ControlClient& c) { c.GetPidPpidList(); }, 0x22208C, {}, kPairList},
        {"exclude-value", [](ControlClient& c) { c.AddExcludeValueName(u"\\K", u"V"); }, 0x222090, Text(u"\\K\\V"), 0},
        {"reset-values", [](ControlClient& c) { c.ResetExcludeValueName(); }, 0x222094, {}, 0},
        {"tree-monitor", [](ControlClient& c) { c.AddProcessTreeMonitor(u"t"); }, 0x222098, Text(u"t"), 4},
        {"exist-tree", [](ControlClient& c) { c.ExistProcessTree(7, 0x1234); }, 0x22209C, U32s({7, 0x1234}), 4},
    };
    for (const RequestCase& c : cases) {
        FakeDevice device;
        ControlClient client(device);
        c.call(client);
        ASSERT_EQ(1u, device.requests.size()) << c.name;
        EXPECT_EQ(c.code, device.requests[0].code) << c.name;
        EXPECT_EQ(c.input, device.requests[0].input) << c.name;
        EXPECT_EQ(c.outputLength, device.requests[0].outputLength) << c.name;
    }
}

TEST(ControlClientTest, SetRegValueLaysOutItsFieldsAtTheirOffsets)
{
    FakeDevice device;
    ControlClient client(device);
    ASSERT_TRUE(client.SetRegValue({u"\\REGISTRY\\MACHINE\\SOFTWARE\\S", u"V", 4, {1, 2, 3, 4}}).ok());
    ASSERT_EQ(1u, device.requests.size());
    EXPECT_EQ(0x222010u, device.requests[0].code);
    Bytes expected(SET_REG_VALUE_REQUEST_SIZE);
    Bytes key = Text(u"\\REGISTRY\\MACHINE\\SOFTWARE\\S");
    std::copy(key.begin(), key.end(), expected.begin() + 4);
    Bytes name = Text(u"V");
    std::copy(name.begin(), name.end(), expected.begin() + 516);
    expected[1028] = 4;
    expected[1032] = 1, expected[1033] = 2, expected[1034] = 3, expected[1035] = 4;
    expected[1288] = 4;
    EXPECT_EQ(expected, device.requests[0].input);
}

TEST(ControlClientTest, InputsTheDriverWouldReadCutShortOrPastTheirFieldsAreRefusedUnsent)
{
    const std::u16string longest(255, u'k');
    const std::pair<const char*, std::function<vexclient::Result<vexclient::Done>(ControlClient&)>> refused[] = {
        {"NUL in a path", [](ControlClient& c) { return c.SetRedirectKeyName(std::u16string(u"\\A\0B", 4)); }},
        {"256-character key", [&](ControlClient& c) { return c.SetRegValue({longest + u"k", u"v", 1, {}}); }},
        {"256-character value name", [&](ControlClient& c) { return c.SetRegValue({u"k", longest + u"v", 1, {}}); }},
        {"NUL in a value name", [](ControlClient& c) { return c.SetRegValue({u"k", std::u16string(u"v\0", 2), 1, {}}); }},
        {"257 data bytes", [](ControlClient& c) { return c.SetRegValue({u"k", u"v", 3, Bytes(257)}); }},
    };
    for (const auto& [name, call] : refused) {
        FakeDevice device;
        ControlClient client(device);
        vexclient::Result<vexclient::Done> result = call(client);
        EXPECT_EQ(vexclient::kStatusInvalidParameter, result.status) << name;
        EXPECT_FALSE(result.problem.empty()) << name;
        EXPECT_TRUE(device.requests.empty()) << name;
    }
    FakeDevice device;
    ControlClient client(device);
    EXPECT_EQ(vexclient::kStatusInvalidParameter, client.GetSurrogatePidList({u"a*b"}).status);
    EXPECT_EQ(vexclient::kStatusInvalidParameter, client.SetProcess(std::u16string(u"a\0b", 3)).status);
    EXPECT_TRUE(client.SetRegValue({longest, longest, 3, Bytes(256)}).ok()) << "the largest fields fit";
    EXPECT_EQ(1u, device.requests.size());
}

TEST(ControlClientTest, FourByteAnswersDecodeAndABooleanOtherThanZeroOrOneIsMalformed)
{
    FakeDevice device;
    ControlClient client(device);
    device.answers = {{0, U32s({0x2A})}, {0, U32s({1})}, {0, U32s({0})}, {0, U32s({7})}, {0, {}},
                      {vexclient::kStatusInvalidParameter, U32s({1})}};
    EXPECT_EQ(0x2Au, client.SetProcess(u"a").value);
    EXPECT_TRUE(client.IsUnderSandbox(1).value);
    vexclient::Result<bool> no = client.ExistProcessTree(1, 2);
    EXPECT_TRUE(no.ok() && !no.value);
    EXPECT_NE("", client.IsExistUnderSandbox().problem) << "7";
    EXPECT_NE("", client.IsExistUnderSandbox().problem) << "nothing written";
    vexclient::Result<bool> failed = client.IsUnderSandbox(1);
    EXPECT_EQ(vexclient::kStatusInvalidParameter, failed.status);
    EXPECT_FALSE(failed.value) << "a failed request's output is not read";
}

TEST(ControlClientTest, ProcessIdListsDecodeResizeOnceTooSmallAndRefuseCountsBeyondTheirBuffer)
{
    FakeDevice device;
    ControlClient client(device);
    device.answers = {{0, U32s({2, 10, 20})}};
    EXPECT_EQ((std::vector<uint32_t>{10, 20}), client.GetPidListUnderSandbox().value);

    device.answers = {{0, U32s({1, 10, 4})}};
    vexclient::Result<std::vector<vexclient::PidPair>> pairs = client.GetPidPpidList();
    ASSERT_TRUE(pairs.ok());
    ASSERT_EQ(1u, pairs.value.size());
    EXPECT_EQ(10u, pairs.value[0].processId);
    EXPECT_EQ(4u, pairs.value[0].parentProcessId);

    device.requests.clear();
    device.answers = {{vexclient::kStatusBufferTooSmall, U32s({100})}, {0, U32s({0})}};
    vexclient::Result<std::vector<uint32_t>> resized = client.GetChildOfRootPidList();
    EXPECT_TRUE(resized.ok() && resized.value.empty());
    ASSERT_EQ(2u, device.requests.size());
    EXPECT_LE(4u + 100u * 4u, device.requests[1].outputLength);

    device.answers = {{0, U32s({65})}};
    EXPECT_NE("", client.GetPidListUnderSandbox().problem) << "65 entries in a buffer for 64";
    device.answers = {{vexclient::kStatusBufferTooSmall, U32s({3})}};
    EXPECT_NE("", client.GetPidListUnderSandbox().problem) << "too small for 3 of 64";
    device.answers = {{0, {}}};
    EXPECT_NE("", client.GetPidListUnderSandbox().problem) << "no count written";
    device.answers.assign(4, {vexclient::kStatusBufferTooSmall, U32s({1000})});
    device.answers[1].written = U32s({2000}), device.answers[2].written = U32s({3000}), device.answers[3].written = U32s({4000});
    EXPECT_NE("", client.GetPidListUnderSandbox().problem) << "a list that outgrows every buffer";
}

TEST(ControlClientTest, ListingsAndLogDataDecodeWithTheSharedDecodersAndMalformedOnesAreReported)
{
    FakeDevice device;
    ControlClient client(device);
    Bytes listing = Concat(U32s({4 + 16 + 2, 77, 1, 7, 2}), {'x', 0});
    device.answers = {{0, listing}};
    vexclient::Result<std::vector<vextools::ProcessMessage>> cui = client.GetCuiPidList();
    ASSERT_TRUE(cui.ok()) << cui.problem;
    ASSERT_EQ(1u, cui.value.size());
    EXPECT_EQ(77u, cui.value[0].processId);
    EXPECT_EQ("x", cui.value[0].commandLine);

    device.answers = {{0, Concat(U32s({4 + 16 + 1, 77, 1, 7, 1}), {'x'})}};
    EXPECT_NE("", client.GetCuiPidList().problem) << "odd command line";
    device.answers = {{0, U32s({70000})}};
    EXPECT_NE("", client.GetSurrogatePidList({}).problem) << "longer than the buffer";

    Bytes records(2 * LOG_RECORD_BODY_SIZE);
    records[LOG_LEVEL_OFFSET] = 0x40;
    records[LOG_MESSAGE_OFFSET] = 'm';
    device.answers = {{0, records, 2 * LOG_RECORD_BODY_SIZE}};
    vexclient::Result<std::vector<vextools::LogRecord>> log = client.GetLogData();
    ASSERT_TRUE(log.ok()) << log.problem;
    ASSERT_EQ(2u, log.value.size());
    EXPECT_EQ("m", log.value[0].message);
    device.answers = {{0, records, 1000}};
    EXPECT_NE("", client.GetLogData().problem) << "not whole records";
    device.answers = {{vexclient::kStatusNoMoreEntries, {}, 0}};
    vexclient::Result<std::vector<vextools::LogRecord>> empty = client.GetLogData();
    EXPECT_TRUE(empty.ok() && empty.value.empty());
}

class FakePort : public vexclient::PortTransport {
public:
    NtStatus Connect(const std::u16string& name) override { return connectedTo = name, vexclient::kStatusSuccess; }
    NtStatus ReceiveMessage(vexclient::PortMessage* message) override { return *message = next, vexclient::kStatusSuccess; }
    NtStatus Reply(uint64_t messageId) override { return replies.push_back(messageId), vexclient::kStatusSuccess; }

    std::u16string connectedTo;
    vexclient::PortMessage next;
    std::vector<uint64_t> replies;
};

TEST(PortClientTest, EveryMessageIsRepliedToBeforeItIsDecodedEvenAMalformedOne)
{
    FakePort port;
    vexclient::PortClient client(port);
    ASSERT_EQ(vexclient::kStatusSuccess, client.Connect());
    EXPECT_EQ(u"\\VexRegFilterConnectionPort", port.connectedTo);
    port.next = {9, 16, U32s({1234, 1, PROCESS_FLAG_CUI, 0})};
    vexclient::Result<vextools::ProcessMessage> message = client.Next();
    ASSERT_TRUE(message.ok()) << message.problem;
    EXPECT_EQ(1234u, message.value.processId);
    EXPECT_TRUE(message.value.console);
    port.next = {10, 16, U32s({1234, 1})};
    EXPECT_NE("", client.Next().problem);
    port.next = {11, 0, U32s({1, 0, 0, 0})};
    EXPECT_TRUE(client.Next().ok());
    EXPECT_EQ((std::vector<uint64_t>{9, 10}), port.replies) << "a message without a waiting sender gets no reply";
}

}  // namespace
