// Name matching: wildcard patterns, equality, prefixes and the split of deep key paths.
#include "common/match.h"

#include "tests/support/backtracking_match.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

namespace {

class NameMatchTest : public vextest::MachineTest {};

TEST_F(NameMatchTest, StarsSpanSeparatorsAndQuestionMarksTakeOneCharacter)
{
    struct Row {
        const char16_t* name;
        const char16_t* pattern;
        bool match;
    } rows[] = {
        {u"\\registry\\user\\s-1-5-21-1-2-3-1001\\", u"\\REGISTRY\\USER\\S-?-?-?*\\", true},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\", u"\\REGISTRY\\USER\\S-?-?-?*\\", true},  // star spans '\'
        {u"\\REGISTRY\\USER\\.DEFAULT\\", u"\\REGISTRY\\USER\\S-?-?-?*\\", false},
        {u"\\REGISTRY\\USER\\S-1\\", u"\\REGISTRY\\USER\\S-?-?-?*\\", false},  // '?' needs a character
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\SystemCertificates", u"\\REGISTRY\\*\\Microsoft\\SystemCertificates", true},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\SystemCertificates\\", u"\\REGISTRY\\*\\Microsoft\\SystemCertificates\\*", true},
        {u"xyz", u"X?Z", true},
        {u"xyz", u"*Z", true},
        {u"xyz", u"*", true},
        {u"", u"*", true},
        {u"", u"", true},
        {u"", u"?", false},
        {u"", u"**", false},
        {u"AB", u"AB*", true},
        {u"AB", u"AB**", false},  // a star at the end of the name must be the last pattern character
        {u"ABC", u"AB**", true},
        {u"AB", u"A*B**", false},
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", true},  // case folding beyond ASCII
    };
    for (const Row& row : rows) {
        vextest::Wide name(row.name), pattern(row.pattern);
        EXPECT_EQ(row.match, (bool)IsMatchName(name.get(), pattern.get()))
            << vextest::Utf8(row.name) << " against " << vextest::Utf8(row.pattern);
    }
}

TEST_F(NameMatchTest, AgreesWithTheBacktrackingMatcherOnEveryShortPair)
{
    // Every name of up to 4 characters and pattern of up to 5 over a small alphabet.
    const std::u16string nameAlphabet = u"aB\\";
    const std::u16string patternAlphabet = u"Ab*?\\";
    std::function<void(std::u16string&, const std::u16string&, size_t, const std::function<void(const std::u16string&)>&)> each =
        [&](std::u16string& text, const std::u16string& alphabet, size_t left, const std::function<void(const std::u16string&)>& visit) {
            visit(text);
            if (left == 0) {
                return;
            }
            for (char16_t c : alphabet) {
                text.push_back(c);
                each(text, alphabet, left - 1, visit);
                text.pop_back();
            }
        };
    std::u16string name, pattern;
    size_t compared = 0;
    each(name, nameAlphabet, 4, [&](const std::u16string& n) {
        each(pattern, patternAlphabet, 5, [&](const std::u16string& p) {
            bool expected = vextest::BacktrackingMatch(n.c_str(), p.c_str());
            ASSERT_EQ(expected, (bool)MatchNamePattern((PCWSTR)n.c_str(), (PCWSTR)p.c_str()))
                << vextest::Utf8(n) << " against " << vextest::Utf8(p);
            vextest::Wide countedName(n), countedPattern(p);
            ASSERT_EQ(expected, (bool)IsMatchName(countedName.get(), countedPattern.get()))
                << vextest::Utf8(n) << " against " << vextest::Utf8(p) << " counted";
            compared++;
        });
    });
    EXPECT_GT(compared, 100000u);
}

TEST_F(NameMatchTest, ANulInsideANameOrPatternEndsIt)
{
    vextest::Wide name(std::u16string(u"AB\0CD", 5)), pattern(u"AB");
    EXPECT_TRUE(IsMatchName(name.get(), pattern.get()));
}

TEST_F(NameMatchTest, MissingStringsDoNotMatch)
{
    vextest::Wide name(u"abc"), pattern(u"*");
    UNICODE_STRING noBuffer = {0, 0, NULL};
    EXPECT_FALSE(IsMatchName(NULL, pattern.get()));
    EXPECT_FALSE(IsMatchName(name.get(), NULL));
    EXPECT_FALSE(IsMatchName(&noBuffer, pattern.get()));
    EXPECT_FALSE(IsMatchName(name.get(), &noBuffer));
}

TEST_F(NameMatchTest, ComparesEqualityAndPrefixIgnoringCase)
{
    vextest::Wide abc(u"\\A\\B"), abcLower(u"\\a\\b"), abcd(u"\\A\\BC"), empty(u""), otherFirst(u"/A\\B");
    EXPECT_TRUE(IsSameName(abc.get(), abcLower.get()));
    EXPECT_FALSE(IsSameName(abc.get(), abcd.get()));
    EXPECT_FALSE(IsSameName(otherFirst.get(), abc.get()));  // every character counts, the first too
    EXPECT_FALSE(IsPrefixName(otherFirst.get(), abcd.get()));
    EXPECT_FALSE(IsSameName(abc.get(), NULL));
    EXPECT_TRUE(IsPrefixName(abcLower.get(), abcd.get()));  // no separator rule
    EXPECT_FALSE(IsPrefixName(abcd.get(), abc.get()));      // a longer prefix never matches
    EXPECT_TRUE(IsPrefixName(empty.get(), abc.get()));
    EXPECT_FALSE(IsPrefixName(NULL, abc.get()));
    EXPECT_FALSE(IsPrefixName(abc.get(), NULL));
    // Only the counted characters of the name take part, whatever its buffer holds after them.
    UNICODE_STRING cut = *abcd.get();
    cut.Length -= sizeof(WCHAR);
    EXPECT_FALSE(IsPrefixName(abcd.get(), &cut));
}

std::u16string PathOf(int components, bool trailingSeparator)
{
    std::u16string path;
    for (int i = 0; i < components; i++) {
        path += u"\\K" + vextest::Utf16(std::to_string(i));
    }
    return trailingSeparator ? path + u"\\" : path;
}

TEST_F(NameMatchTest, SplitsDeepPathsAfterTheThirtySecondComponent)
{
    for (bool trailingSeparator : {true, false}) {
        vextest::Wide path(PathOf(40, trailingSeparator));
        UNICODE_STRING head = {}, tail = *path.get();
        NextKeyPathChunk(&tail, TRUE, &head);
        EXPECT_EQ(PathOf(32, false), vextest::Text(&head));
        EXPECT_EQ(u"K32\\K33\\K34\\K35\\K36\\K37\\K38\\K39", vextest::Text(&tail)) << trailingSeparator;
        EXPECT_EQ(path.get()->Buffer, head.Buffer);
    }
}

TEST_F(NameMatchTest, LeavesPathsOfThirtyTwoComponentsWhole)
{
    vextest::Wide path(PathOf(32, true));  // 33 separators with the trailing one
    UNICODE_STRING head = {}, tail = *path.get();
    NextKeyPathChunk(&tail, TRUE, &head);
    EXPECT_EQ(PathOf(32, false), vextest::Text(&head));
    EXPECT_EQ(path.get()->Buffer, head.Buffer);
    EXPECT_EQ(0, tail.Length);
}

}  // namespace
