// The log decoder on record bodies laid out by hand, byte by byte, as the driver hands them to
// user mode: u32 level at 0, u32 process id at 4, 32 UTF-16 units of name at 8, 512 units of
// message at 72, 1,096 bytes each.
#include "tools/logdecode/log_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr size_t kBodySize = 1096;
constexpr size_t kNameOffset = 8;
constexpr size_t kNameUnits = 32;
constexpr size_t kMessageOffset = 72;

void PutU32(std::vector<unsigned char>& data, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; i++) {
        data[offset + i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void PutText(std::vector<unsigned char>& data, size_t offset, const std::u16string& text)
{
    for (size_t i = 0; i < text.size(); i++) {
        data[offset + 2 * i] = static_cast<unsigned char>(text[i] & 0xFF);
        data[offset + 2 * i + 1] = static_cast<unsigned char>(text[i] >> 8);
    }
}

// Appends one zero-filled body with the given fields.
void AppendBody(std::vector<unsigned char>& data, uint32_t level, uint32_t processId, const std::u16string& name,
                const std::u16string& message)
{
    size_t start = data.size();
    data.resize(start + kBodySize);
    PutU32(data, start, level);
    PutU32(data, start + 4, processId);
    PutText(data, start + kNameOffset, name);
    PutText(data, start + kMessageOffset, message);
}

TEST(LogDecoderTest, LevelBitsDecodeToTheirNames)
{
    struct Case {
        uint32_t level;
        const char* name;
    };
    const Case cases[] = {
        {0x01, "Info"}, {0x02, "Info"}, {0x04, "Warn"}, {0x08, "Warn"}, {0x10, "Error"}, {0x20, "Error"},
        {0x40, "Trace"},
        {0x80, "0x80"},  // no name: the bits in hex
        {0x42, "0x42"},  // a record carries one level bit; a combination has no name
        {0x00, "0x0"},
    };
    std::vector<unsigned char> data;
    for (const Case& c : cases) {
        AppendBody(data, c.level, 4, u"System", u"m");
    }
    std::vector<vextools::LogRecord> records = vextools::DecodeLogRecords(data.data(), data.size());
    ASSERT_EQ(std::size(cases), records.size());
    for (size_t i = 0; i < records.size(); i++) {
        EXPECT_EQ(cases[i].level, records[i].level);
        EXPECT_EQ(cases[i].name, records[i].levelName) << "level 0x" << std::hex << cases[i].level;
    }
}

TEST(LogDecoderTest, RecordsDecodeInOrderWithTheirFields)
{
    std::vector<unsigned char> data;
    AppendBody(data, 0x40, 0x12345678, u"svchost.exe", u"first");
    AppendBody(data, 0x02, 8, u"notepad.exe", u"second record");
    std::vector<vextools::LogRecord> records = vextools::DecodeLogRecords(data.data(), data.size());
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(0x12345678u, records[0].processId) << "little-endian";
    EXPECT_EQ("svchost.exe", records[0].processName);
    EXPECT_EQ("first", records[0].message);
    EXPECT_EQ(8u, records[1].processId);
    EXPECT_EQ("notepad.exe", records[1].processName);
    EXPECT_EQ("second record", records[1].message);
}

TEST(LogDecoderTest, NonAsciiTextBecomesUtf8)
{
    std::vector<unsigned char> data;
    AppendBody(data, 0x02, 8, u"Übersicht.exe", u"Schlüssel \u65E5\u672C\u8A9E \U0001F600");
    std::vector<vextools::LogRecord> records = vextools::DecodeLogRecords(data.data(), data.size());
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("\xC3\x9C" "bersicht.exe", records[0].processName);
    EXPECT_EQ("Schl\xC3\xBC" "ssel \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x98\x80", records[0].message);
}

TEST(LogDecoderTest, TextEndsAtTheFirstNulOrAtTheEndOfItsField)
{
    std::vector<unsigned char> data;
    // A name filling all 32 units without a NUL, followed directly by the message field.
    AppendBody(data, 0x02, 8, std::u16string(kNameUnits, u'n'), u"message");
    // Text after a NUL is not part of the field's value.
    AppendBody(data, 0x02, 8, std::u16string(u"a.exe\0junk", 10), u"");
    std::vector<vextools::LogRecord> records = vextools::DecodeLogRecords(data.data(), data.size());
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(std::string(kNameUnits, 'n'), records[0].processName);
    EXPECT_EQ("message", records[0].message);
    EXPECT_EQ("a.exe", records[1].processName);
    EXPECT_EQ("", records[1].message);
}

TEST(LogDecoderTest, SizeThatIsNotWholeRecordsIsRefused)
{
    std::vector<unsigned char> data(3 * kBodySize);
    EXPECT_TRUE(vextools::DecodeLogRecords(data.data(), 0).empty());
    for (size_t size : {size_t{1}, kBodySize - 1, kBodySize + 1, 2 * kBodySize + 100}) {
        EXPECT_THROW(vextools::DecodeLogRecords(data.data(), size), std::invalid_argument) << size << " bytes";
    }
    EXPECT_EQ(3u, vextools::DecodeLogRecords(data.data(), data.size()).size());
}

}  // namespace
