// The kernel formatting engine, seen through DbgPrint's narrow formats and RtlStringCbPrintfW's
// wide ones.
#include "platform/platform.h"
#include "sim/rtl/format.h"
#include "sim/rtl/utf.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Narrow(PCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = vexsim::FormatNarrow(format, args);
    va_end(args);
    return text;
}

std::u16string Wide(PCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    std::u16string text = vexsim::FormatWide(format, args);
    va_end(args);
    return text;
}

class FormatDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST(FormatIntegers, FlagsWidthPrecisionAndSizes)
{
    EXPECT_EQ(Narrow("%d|%i|%u", -42, 7, 4000000000u), "-42|7|4000000000");
    EXPECT_EQ(Narrow("[%5d][%-5d][%05d][%+d][% d]", 42, 42, -42, 42, 42), "[   42][42   ][-0042][+42][ 42]");
    EXPECT_EQ(Narrow("[%.3d][%8.3d][%08.3d][%.0d]", 7, -7, 7, 0), "[007][    -007][     007][]");
    EXPECT_EQ(Narrow("[%*d][%-*d][%.*d]", 4, 1, 4, 2, 3, 3), "[   1][2   ][003]");
    EXPECT_EQ(Narrow("[%*d]", -4, 1), "[1   ]");  // a negative * width left-justifies
    EXPECT_EQ(Narrow("%x %X %o %#x %#X %#o %#x", 255u, 255u, 8u, 255u, 255u, 8u, 0u), "ff FF 10 0xff 0XFF 010 0");
    EXPECT_EQ(Narrow("%#010x", 255u), "0x000000ff");
    EXPECT_EQ(Narrow("%hd %hu %hhd %hhu", 70000, 70000, 300, 300), "4464 4464 44 44");
    EXPECT_EQ(Narrow("%ld %lx", -1, 0xFFFFFFFFu), "-1 ffffffff");  // l is 32 bits (LLP64)
    EXPECT_EQ(Narrow("%I64d %I64u %I64X", -5000000000LL, 18446744073709551615ULL, 0x123456789ABCDEFULL),
              "-5000000000 18446744073709551615 123456789ABCDEF");
    EXPECT_EQ(Narrow("%lld %llx %I32d %Id %zu", -9000000000LL, 0xABCDEF0123ULL, -3, -4LL, size_t{12}),
              "-9000000000 abcdef0123 -3 -4 12");
    EXPECT_EQ(Narrow("%d", INT32_MIN), "-2147483648");
    EXPECT_EQ(Narrow("%I64d", INT64_MIN), "-9223372036854775808");
}

TEST(FormatIntegers, TextAfterAConversionIsLiteral)
{
    EXPECT_EQ(Narrow("Status=%08XL", 0xC0000034u), "Status=C0000034L");
    EXPECT_EQ(Narrow("%08XL", 0x1Fu), "0000001FL");
    EXPECT_EQ(Narrow("100%% %d%%", 5), "100% 5%");
}

TEST(FormatPointers, SixteenUpperCaseHexDigits)
{
    EXPECT_EQ(Narrow("%p", reinterpret_cast<void*>(0xFFFFA00012345678ULL)), "FFFFA00012345678");
    EXPECT_EQ(Narrow("%p", nullptr), "0000000000000000");
    EXPECT_EQ(Narrow("[%20p]", reinterpret_cast<void*>(0xABCULL)), "[    0000000000000ABC]");
}

TEST(FormatStrings, NarrowFormatTakesNarrowAndWideArguments)
{
    EXPECT_EQ(Narrow("%s|%ws|%ls|%S", "narrow", L"wide", L"long", L"upper"), "narrow|wide|long|upper");
    EXPECT_EQ(Narrow("%c%C%wc%hc", 'a', L'\u00e9', L'\u0416', 'z'), "a\u00e9\u0416z");
    EXPECT_EQ(Narrow("[%8s][%-8s][%.3s][%08s]", "abc", "abc", "abcdef", "ab"), "[     abc][abc     ][abc][000000ab]");
    EXPECT_EQ(Narrow("[%.2ws][%5ws]", L"wxyz", L"\u00e9"), "[wx][    \u00e9]");
    EXPECT_EQ(Narrow("%s|%ws|%.3s", static_cast<char*>(nullptr), static_cast<WCHAR*>(nullptr),
                     static_cast<char*>(nullptr)),
              "(null)|(null)|(nu");
}

TEST(FormatStrings, PrecisionBoundsTheRead)
{
    // Not NUL-terminated: the precision is all the engine may read.
    const char bytes[3] = {'a', 'b', 'c'};
    const WCHAR units[2] = {L'x', L'y'};
    EXPECT_EQ(Narrow("%.3s%.2ws", bytes, units), "abcxy");
}

TEST(FormatCountedStrings, ReadOnlyLengthAndPrintNullForMissingStrings)
{
    WCHAR buffer[] = {L'K', L'e', L'y', L'X', L'X'};  // no terminator anywhere
    UNICODE_STRING unicode{6, sizeof(buffer), buffer};
    char bytes[] = {'a', 'n', 's', 'i', '!'};
    ANSI_STRING ansi{4, sizeof(bytes), bytes};
    UNICODE_STRING noBuffer{0, 0, nullptr};

    EXPECT_EQ(Narrow("<%wZ><%Z><%lZ><%hZ>", &unicode, &ansi, &unicode, &ansi), "<Key><ansi><Key><ansi>");
    EXPECT_EQ(Narrow("<%6wZ><%-6wZ><%.2wZ>", &unicode, &unicode, &unicode), "<   Key><Key   ><Ke>");
    EXPECT_EQ(Narrow("<%wZ><%wZ><%Z>", static_cast<UNICODE_STRING*>(nullptr), &noBuffer,
                     static_cast<ANSI_STRING*>(nullptr)),
              "<(null)><(null)><(null)>");
    EXPECT_EQ(Wide(L"<%wZ><%Z><%hZ>", &unicode, &unicode, &ansi), u"<Key><Key><ansi>");
}

TEST(FormatWideFormats, SAndCTakeTheFormatsOwnWidth)
{
    EXPECT_EQ(Wide(L"%s|%S|%hs|%ls|%ws", L"wide", "narrow", "h", L"l", L"w"), u"wide|narrow|h|l|w");
    EXPECT_EQ(Wide(L"%c%C%hc%wc", L'\u0416', 'n', 'h', L'w'), u"\u0416nhw");
    EXPECT_EQ(Wide(L"%S", "caf\xc3\xa9"), u"caf\u00e9");  // narrow arguments are UTF-8
    EXPECT_EQ(Wide(L"%08XL %p %I64d", 0xBEEFu, reinterpret_cast<void*>(0x10ULL), -1LL),
              u"0000BEEFL 0000000000000010 -1");
    const WCHAR smiley[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(Narrow("[%3ws]", smiley), "[  \xF0\x9F\x98\x80]");  // one character, four bytes
}

TEST(FormatLimits, OutputStopsAtTheLimitAndSaysSo)
{
    bool truncated = false;
    auto format = [&](size_t limit, PCSTR text, ...) {
        va_list args;
        va_start(args, text);
        std::string out = vexsim::FormatNarrow(text, args, limit, &truncated);
        va_end(args);
        return out;
    };
    EXPECT_EQ(format(5, "%s", "abcdefgh"), "abcde");
    EXPECT_TRUE(truncated);
    EXPECT_EQ(format(5, "%s", "abcde"), "abcde");
    EXPECT_FALSE(truncated);
    EXPECT_EQ(format(4, "%*d", 1000000000, 1), "    ");  // a huge width costs nothing
    EXPECT_TRUE(truncated);
    EXPECT_EQ(format(3, "%.100000000s", "abcd"), "abc");
    EXPECT_TRUE(truncated);
}

TEST_F(FormatDeathTest, UnsupportedConversionsStopTheMachine)
{
    EXPECT_DEATH(Narrow("%n", nullptr), "format: unsupported conversion %n in \"%n\"");
    EXPECT_DEATH(Narrow("value %f", 1.0), "unsupported conversion %f");
    EXPECT_DEATH(Wide(L"%y"), "unsupported conversion %y in \"%y\"");
    WCHAR buffer[2] = {};
    UNICODE_STRING odd{3, 4, buffer};
    EXPECT_DEATH(Narrow("%wZ", &odd), "format %wZ: malformed UNICODE_STRING argument \\(odd Length");
}

}  // namespace
