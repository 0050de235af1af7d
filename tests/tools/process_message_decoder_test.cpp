// The process-message decoder on bytes laid out by hand: u32 process id, started, flags and
// command-line length, then the UTF-16 command line; listings are a u32 total and messages.
#include "tools/processmsg/process_message_decoder.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void PutU32(Bytes& data, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; i++) {
        data[offset + i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

Bytes Message(uint32_t processId, uint32_t started, uint32_t flags, const std::u16string& commandLine, uint32_t length = UINT32_MAX)
{
    Bytes data(16 + commandLine.size() * 2);
    PutU32(data, 0, processId);
    PutU32(data, 4, started);
    PutU32(data, 8, flags);
    PutU32(data, 12, length == UINT32_MAX ? static_cast<uint32_t>(commandLine.size() * 2) : length);
    for (size_t i = 0; i < commandLine.size(); i++) {
        data[16 + 2 * i] = static_cast<unsigned char>(commandLine[i] & 0xFF);
        data[16 + 2 * i + 1] = static_cast<unsigned char>(commandLine[i] >> 8);
    }
    return data;
}

Bytes Listing(const std::vector<Bytes>& messages, uint32_t total = 0)
{
    Bytes data(4);
    for (const Bytes& message : messages) {
        data.insert(data.end(), message.begin(), message.end());
    }
    PutU32(data, 0, total != 0 ? total : static_cast<uint32_t>(data.size()));
    return data;
}

TEST(ProcessMessageDecoderTest, MessagesDecodeFieldByField)
{
    Bytes data = Message(1234, 1, 7, u"host.exe -k \u00e9");
    vextools::ProcessMessage message = vextools::DecodeProcessMessage(data.data(), data.size());
    EXPECT_EQ(1234u, message.processId);
    EXPECT_TRUE(message.started);
    EXPECT_TRUE(message.is64bit && message.console && message.surrogate);
    EXPECT_EQ("host.exe -k \xc3\xa9", message.commandLine);
    EXPECT_EQ("pid 1234 started 64bit CUI surrogate CommandLine = host.exe -k \xc3\xa9", vextools::DescribeProcessMessage(message));
    EXPECT_EQ("pid 8 exited 32bit", vextools::DescribeProcessMessage(vextools::DecodeProcessMessage(Message(8, 0, 0, u"").data(), 16)));
}

TEST(ProcessMessageDecoderTest, MalformedMessagesAndListingsAreRefused)
{
    Bytes good = Message(8, 1, 2, u"");
    Bytes trailing = good;
    trailing.push_back(0);
    struct Case {
        const char* what;
        Bytes data;
        bool listing;
    };
    const Case cases[] = {
        {"shorter than the header", Bytes(15), false},
        {"an odd command-line length", Message(8, 1, 4, u"ab", 3), false},
        {"a command line past the end", Message(8, 1, 4, u"ab", 6), false},
        {"a byte after the command line", trailing, false},
        {"a listing shorter than its length", Listing({good}, 100), true},
        {"a listing whose last message is cut", Listing({Message(8, 1, 4, u"ab", 8)}), true},
        {"a listing without its length", Bytes(3), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.listing) {
            EXPECT_THROW(vextools::DecodeProcessListing(c.data.data(), c.data.size()), std::invalid_argument);
        } else {
            EXPECT_THROW(vextools::DecodeProcessMessage(c.data.data(), c.data.size()), std::invalid_argument);
        }
    }
}

TEST(ProcessMessageDecoderTest, ListingsHoldTheirMessagesInOrder)
{
    Bytes listing = Listing({Message(8, 1, 3, u""), Message(12, 1, 5, u"x.exe")});
    std::vector<vextools::ProcessMessage> messages = vextools::DecodeProcessListing(listing.data(), listing.size());
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ(8u, messages[0].processId);
    EXPECT_EQ("x.exe", messages[1].commandLine);
    EXPECT_TRUE(vextools::DecodeProcessListing(Listing({}).data(), 4).empty());
    EXPECT_EQ(4242u, vextools::ListingTotalLength(Listing({}, 4242).data(), 4)) << "the size a too-small buffer learns";
}

}  // namespace
