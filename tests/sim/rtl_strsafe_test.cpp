// The ntstrsafe routines: statuses, truncation and the destination state afterwards.
#include "platform/platform.h"
#include "sim/rtl/utf.h"

#include <gtest/gtest.h>

namespace {

using vexsim::ToU16;

TEST(RtlStringLength, FindsTheTerminatorWithinTheLimitOnly)
{
    size_t length = 99;
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 4, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(RtlStringCbLengthW(L"abc", 8, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 6u);

    const WCHAR unterminated[3] = {L'a', L'b', L'c'};
    EXPECT_EQ(RtlStringCchLengthW(unterminated, 3, &length), STATUS_INVALID_PARAMETER);  // no NUL within 3
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCbLengthW(L"abc", 6, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCchLengthW(nullptr, 3, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthW(L"abc", size_t{NTSTRSAFE_MAX_CCH} + 1, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 4, nullptr), STATUS_SUCCESS);
}

struct CopyCase {
    size_t cchDest;
    NTSTATUS status;
    const char16_t* result;
};

class RtlStringCopy : public ::testing::TestWithParam<CopyCase> {};

TEST_P(RtlStringCopy, CchAndCbAgree)
{
    const CopyCase& c = GetParam();
    WCHAR cch[8];
    WCHAR cb[8];
    for (int i = 0; i < 8; ++i) cch[i] = cb[i] = L'#';
    EXPECT_EQ(RtlStringCchCopyW(cch, c.cchDest, L"abcd"), c.status);
    EXPECT_EQ(RtlStringCbCopyW(cb, c.cchDest * sizeof(WCHAR), L"abcd"), c.status);
    EXPECT_EQ(ToU16(cch), c.result);
    EXPECT_EQ(ToU16(cb), c.result);
}

INSTANTIATE_TEST_SUITE_P(Table, RtlStringCopy,
                         ::testing::Values(CopyCase{8, STATUS_SUCCESS, u"abcd"},
                                           CopyCase{5, STATUS_SUCCESS, u"abcd"},          // exactly fits
                                           CopyCase{4, STATUS_BUFFER_OVERFLOW, u"abc"},   // one short
                                           CopyCase{1, STATUS_BUFFER_OVERFLOW, u""}));

TEST(RtlStringCopy, InvalidSizesLeaveTheDestinationAlone)
{
    WCHAR buffer[4] = {L'#', L'#', L'#', 0};
    EXPECT_EQ(RtlStringCchCopyW(buffer, 0, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbCopyW(buffer, 1, L"x"), STATUS_INVALID_PARAMETER);  // less than one character
    EXPECT_EQ(RtlStringCchCopyW(buffer, size_t{NTSTRSAFE_MAX_CCH} + 1, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ToU16(buffer), u"###");
}

TEST(RtlStringCopyN, CopiesAtMostTheCountAndStopsAtTheTerminator)
{
    WCHAR buffer[8];
    EXPECT_EQ(RtlStringCbCopyNW(buffer, sizeof(buffer), L"abcdef", 3 * sizeof(WCHAR)), STATUS_SUCCESS);
    EXPECT_EQ(ToU16(buffer), u"abc");
    EXPECT_EQ(RtlStringCbCopyNW(buffer, sizeof(buffer), L"ab", 6 * sizeof(WCHAR)), STATUS_SUCCESS);
    EXPECT_EQ(ToU16(buffer), u"ab");
    EXPECT_EQ(RtlStringCbCopyNW(buffer, 3 * sizeof(WCHAR), L"abcdef", 5 * sizeof(WCHAR)), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ToU16(buffer), u"ab");
    const WCHAR unterminated[2] = {L'x', L'y'};  // the count, not a NUL, ends the source
    EXPECT_EQ(RtlStringCbCopyNW(buffer, sizeof(buffer), unterminated, sizeof(unterminated)), STATUS_SUCCESS);
    EXPECT_EQ(ToU16(buffer), u"xy");
}

TEST(RtlStringCat, AppendsTruncatesAndRejectsAnUnterminatedDestination)
{
    WCHAR buffer[6] = {L'a', L'b', 0};
    EXPECT_EQ(RtlStringCchCatW(buffer, 6, L"cd"), STATUS_SUCCESS);
    EXPECT_EQ(ToU16(buffer), u"abcd");
    EXPECT_EQ(RtlStringCbCatW(buffer, sizeof(buffer), L"efg"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ToU16(buffer), u"abcde");

    WCHAR full[3] = {L'x', L'y', L'z'};
    EXPECT_EQ(RtlStringCchCatW(full, 3, L"!"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ToU16(full, 3), u"xyz");
}

TEST(RtlStringPrintf, FormatsAndTruncatesWithATerminator)
{
    WCHAR buffer[8];
    EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof(buffer), L"%s=%d", L"ab", 42), STATUS_SUCCESS);
    EXPECT_EQ(ToU16(buffer), u"ab=42");
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 8, L"%08XL", 0xC0000034u), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ToU16(buffer), u"C000003");
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 0, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof(buffer), nullptr), STATUS_INVALID_PARAMETER);

    char narrow[6];
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof(narrow), "%ws-%d", L"ab", 1), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "ab-1");
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof(narrow), "%s", "abcdefgh"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "abcde");
}

TEST(RtlUnicodeStringRoutines, CopyCatPrintfTruncateToMaximumLength)
{
    WCHAR buffer[5];
    UNICODE_STRING destination{0, sizeof(buffer), buffer};
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"abc");

    EXPECT_EQ(RtlUnicodeStringCopy(&destination, &source), STATUS_SUCCESS);
    EXPECT_EQ(ToU16(&destination), u"abc");
    EXPECT_EQ(RtlUnicodeStringCat(&destination, &source), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(destination.Length, 10);
    EXPECT_EQ(ToU16(&destination), u"abcab");

    EXPECT_EQ(RtlUnicodeStringPrintf(&destination, L"%d", 12), STATUS_SUCCESS);
    EXPECT_EQ(ToU16(&destination), u"12");
    EXPECT_EQ(RtlUnicodeStringPrintf(&destination, L"%wZ%wZ", &source, &source), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ToU16(&destination), u"abcab");
}

TEST(RtlUnicodeStringRoutines, RejectInvalidStringsUnchanged)
{
    WCHAR buffer[4] = {L'q'};
    UNICODE_STRING valid{2, sizeof(buffer), buffer};
    const UNICODE_STRING invalid[] = {
        {3, 8, buffer},   // odd Length
        {2, 7, buffer},   // odd MaximumLength
        {8, 6, buffer},   // Length above MaximumLength
        {0, 4, nullptr},  // no buffer behind a size
    };
    for (const UNICODE_STRING& bad : invalid) {
        UNICODE_STRING destination = bad;
        EXPECT_EQ(RtlUnicodeStringCopy(&valid, &bad), STATUS_INVALID_PARAMETER) << bad.Length << "/" << bad.MaximumLength;
        EXPECT_EQ(RtlUnicodeStringCat(&destination, &valid), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(RtlUnicodeStringPrintf(&destination, L"x"), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(destination.Length, bad.Length);
    }
    EXPECT_EQ(valid.Length, 2);
    EXPECT_EQ(RtlUnicodeStringCopy(nullptr, &valid), STATUS_INVALID_PARAMETER);
}

}  // namespace
