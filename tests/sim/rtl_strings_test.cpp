// Counted strings, case mapping and hashing of the run-time library.
#include "platform/platform.h"
#include "sim/rtl/utf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

using vexsim::ToU16;

UNICODE_STRING Counted(PWSTR buffer, USHORT length, USHORT maximumLength)
{
    return UNICODE_STRING{length, maximumLength, buffer};
}

class RtlStringsDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST(RtlInitStrings, CountBytesWithoutAndWithTerminator)
{
    UNICODE_STRING unicode;
    RtlInitUnicodeString(&unicode, L"Key");
    EXPECT_EQ(unicode.Length, 6);
    EXPECT_EQ(unicode.MaximumLength, 8);

    RtlInitUnicodeString(&unicode, nullptr);
    EXPECT_EQ(unicode.Length, 0);
    EXPECT_EQ(unicode.MaximumLength, 0);
    EXPECT_EQ(unicode.Buffer, nullptr);

    ANSI_STRING ansi;
    RtlInitString(&ansi, "abc");
    EXPECT_EQ(ansi.Length, 3);
    EXPECT_EQ(ansi.MaximumLength, 4);

    static WCHAR longest[0x7FFF];  // the longest text whose terminator still fits in MaximumLength
    std::fill(longest, longest + 0x7FFE, L'x');
    RtlInitUnicodeString(&unicode, longest);
    EXPECT_EQ(unicode.Length, 0xFFFC);
    EXPECT_EQ(unicode.MaximumLength, 0xFFFE);
}

TEST_F(RtlStringsDeathTest, TooLongSourceStopsTheMachine)
{
    static WCHAR tooLong[0x8000];
    std::fill(tooLong, tooLong + 0x7FFF, L'x');
    UNICODE_STRING unicode;
    EXPECT_DEATH(RtlInitUnicodeString(&unicode, tooLong), "RtlInitUnicodeString: source string of 65534 bytes");
}

TEST(RtlCopyUnicodeString, TruncatesToDestinationAndTerminatesWhenRoom)
{
    WCHAR source[] = L"abcdef";
    UNICODE_STRING from = Counted(source, 8, 8);  // "abcd", not NUL-terminated within Length

    WCHAR big[10];
    UNICODE_STRING to = Counted(big, 0, sizeof(big));
    RtlCopyUnicodeString(&to, &from);
    EXPECT_EQ(to.Length, 8);
    EXPECT_EQ(ToU16(big), u"abcd");

    WCHAR small[3] = {L'?', L'?', L'?'};
    to = Counted(small, 0, sizeof(small));
    RtlCopyUnicodeString(&to, &from);
    EXPECT_EQ(to.Length, 6);
    EXPECT_EQ(ToU16(small, 3), u"abc");  // no room for a terminator

    RtlCopyUnicodeString(&to, nullptr);
    EXPECT_EQ(to.Length, 0);
}

TEST(RtlAppend, FailsWithoutChangeWhenTooSmallAndTerminatesWhenRoom)
{
    WCHAR buffer[6] = {};
    UNICODE_STRING to = Counted(buffer, 0, sizeof(buffer));
    EXPECT_EQ(RtlAppendUnicodeToString(&to, L"abc"), STATUS_SUCCESS);
    EXPECT_EQ(to.Length, 6);
    EXPECT_EQ(ToU16(buffer), u"abc");

    EXPECT_EQ(RtlAppendUnicodeToString(&to, L"defg"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(to.Length, 6);
    EXPECT_EQ(ToU16(buffer), u"abc");

    WCHAR tail[] = L"de";
    UNICODE_STRING source = Counted(tail, 4, 6);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&to, &source), STATUS_SUCCESS);
    EXPECT_EQ(to.Length, 10);
    EXPECT_EQ(ToU16(buffer), u"abcde");

    EXPECT_EQ(RtlAppendUnicodeStringToString(&to, &source), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ToU16(&to), u"abcde");
}

struct ComparisonCase {
    const char16_t* first;
    const char16_t* second;
    bool caseInsensitive;
    int expectedSign;
    bool prefix;  // first is a prefix of second
};

class RtlCompareStrings : public ::testing::TestWithParam<ComparisonCase> {};

TEST_P(RtlCompareStrings, CompareEqualAndPrefixAgree)
{
    const ComparisonCase& c = GetParam();
    std::u16string first = c.first;
    std::u16string second = c.second;
    // Counted strings over buffers with a trailing unit that lies beyond Length and must be ignored.
    WCHAR firstBuffer[32];
    WCHAR secondBuffer[32];
    for (size_t i = 0; i < first.size(); ++i) firstBuffer[i] = first[i];
    for (size_t i = 0; i < second.size(); ++i) secondBuffer[i] = second[i];
    firstBuffer[first.size()] = L'!';
    secondBuffer[second.size()] = L'?';
    UNICODE_STRING a = Counted(firstBuffer, static_cast<USHORT>(first.size() * 2), 64);
    UNICODE_STRING b = Counted(secondBuffer, static_cast<USHORT>(second.size() * 2), 64);

    const LONG result = RtlCompareUnicodeString(&a, &b, c.caseInsensitive);
    EXPECT_EQ((result > 0) - (result < 0), c.expectedSign);
    EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.caseInsensitive), c.expectedSign == 0);
    EXPECT_EQ(RtlPrefixUnicodeString(&a, &b, c.caseInsensitive), c.prefix);
}

INSTANTIATE_TEST_SUITE_P(Table, RtlCompareStrings,
                         ::testing::Values(
                             ComparisonCase{u"abc", u"abc", false, 0, true},
                             ComparisonCase{u"abc", u"ABC", false, 1, false},    // 'a' > 'A'
                             ComparisonCase{u"abc", u"ABC", true, 0, true},
                             ComparisonCase{u"ab", u"abc", false, -1, true},     // shorter sorts first
                             ComparisonCase{u"abd", u"abc", false, 1, false},
                             ComparisonCase{u"", u"x", false, -1, true},
                             ComparisonCase{u"\u00e9t\u00e9", u"\u00c9T\u00c9", true, 0, true},  // beyond ASCII
                             ComparisonCase{u"\u0436", u"\u0416\u0416", true, -1, true}));

TEST(RtlCompareMemory, CountsLeadingEqualBytes)
{
    const char a[] = "registry";
    const char b[] = "regimen!";
    EXPECT_EQ(RtlCompareMemory(a, b, 8), 4u);
    EXPECT_EQ(RtlCompareMemory(a, a, 8), 8u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

TEST_F(RtlStringsDeathTest, MalformedCountedStringsStopTheMachine)
{
    WCHAR buffer[8] = {};
    UNICODE_STRING odd = Counted(buffer, 3, 16);
    UNICODE_STRING overlong = Counted(buffer, 18, 16);
    UNICODE_STRING good = Counted(buffer, 2, 16);
    EXPECT_DEATH(RtlEqualUnicodeString(&odd, &good, FALSE), "RtlEqualUnicodeString: malformed UNICODE_STRING String1 \\(odd Length");
    EXPECT_DEATH(RtlCopyUnicodeString(&good, &overlong), "RtlCopyUnicodeString: malformed UNICODE_STRING SourceString \\(Length exceeds MaximumLength");
    EXPECT_DEATH(RtlAppendUnicodeToString(&overlong, L"x"), "RtlAppendUnicodeToString: malformed");
}

struct UpcaseCase {
    char16_t from;
    char16_t to;
};

class RtlUpcase : public ::testing::TestWithParam<UpcaseCase> {};

TEST_P(RtlUpcase, MapsToSimpleUpperCase)
{
    EXPECT_EQ(static_cast<char16_t>(RtlUpcaseUnicodeChar(GetParam().from)), GetParam().to)
        << "U+" << std::hex << static_cast<int>(GetParam().from);
}

INSTANTIATE_TEST_SUITE_P(Table, RtlUpcase,
                         ::testing::Values(UpcaseCase{u'a', u'A'}, UpcaseCase{u'z', u'Z'}, UpcaseCase{u'A', u'A'},
                                           UpcaseCase{u'0', u'0'}, UpcaseCase{u'\\', u'\\'},
                                           UpcaseCase{0x00E9, 0x00C9},   // e acute
                                           UpcaseCase{0x00FF, 0x0178},   // y diaeresis leaves Latin-1
                                           UpcaseCase{0x00DF, 0x00DF},   // sharp s has no one-unit upper case
                                           UpcaseCase{0x00F7, 0x00F7},   // division sign inside a letter range
                                           UpcaseCase{0x0101, 0x0100},   // alternating pairs
                                           UpcaseCase{0x0100, 0x0100},
                                           UpcaseCase{0x0131, 0x0049},   // dotless i
                                           UpcaseCase{0x03C3, 0x03A3},   // sigma
                                           UpcaseCase{0x03C2, 0x03A3},   // final sigma
                                           UpcaseCase{0x0430, 0x0410},   // Cyrillic a
                                           UpcaseCase{0x0450, 0x0400},
                                           UpcaseCase{0x01C5, 0x01C4},   // title case Dz to upper
                                           UpcaseCase{0x1F00, 0x1F08},   // Greek extended
                                           UpcaseCase{0x24D0, 0x24B6},   // circled letters
                                           UpcaseCase{0xFF41, 0xFF21},   // full-width a
                                           UpcaseCase{0x4E2D, 0x4E2D},   // CJK has no case
                                           UpcaseCase{0xD801, 0xD801},   // surrogates pass through
                                           UpcaseCase{0xFFFF, 0xFFFF}),
                         [](const ::testing::TestParamInfo<UpcaseCase>& info) {
                             char name[8];
                             std::snprintf(name, sizeof(name), "U%04X", static_cast<unsigned>(info.param.from));
                             return std::string(name);
                         });

struct HashCase {
    const char16_t* text;
    bool caseInsensitive;
    ULONG expected;
};

class RtlHash : public ::testing::TestWithParam<HashCase> {};

TEST_P(RtlHash, IsX65599OverUnits)
{
    std::u16string text = GetParam().text;
    WCHAR buffer[32];
    for (size_t i = 0; i < text.size(); ++i) buffer[i] = text[i];
    UNICODE_STRING string = Counted(buffer, static_cast<USHORT>(text.size() * 2), sizeof(buffer));
    for (ULONG algorithm : {HASH_STRING_ALGORITHM_DEFAULT, HASH_STRING_ALGORITHM_X65599}) {
        ULONG hash = 0;
        ASSERT_EQ(RtlHashUnicodeString(&string, GetParam().caseInsensitive, algorithm, &hash), STATUS_SUCCESS);
        EXPECT_EQ(hash, GetParam().expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RtlHash,
                         ::testing::Values(HashCase{u"", false, 0},
                                           HashCase{u"A", false, 65},
                                           HashCase{u"AB", false, 4264001},          // 65*65599 + 66
                                           HashCase{u"abc", false, 807794786},       // (97*65599+98)*65599+99 mod 2^32
                                           HashCase{u"abc", true, 541327426},        // hashed as "ABC"
                                           HashCase{u"ABC", false, 541327426},
                                           HashCase{u"\u00e9t\u00e9", true, 1666073022}));  // hashed as U+00C9 T U+00C9

TEST(RtlHash, RejectsMissingArgumentsAndUnknownAlgorithm)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, L"x");
    ULONG hash = 7;
    EXPECT_EQ(RtlHashUnicodeString(nullptr, FALSE, 0, &hash), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlHashUnicodeString(&string, FALSE, 0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlHashUnicodeString(&string, FALSE, HASH_STRING_ALGORITHM_INVALID, &hash), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlHashUnicodeString(&string, FALSE, 2, &hash), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hash, 7u);
}

}  // namespace
