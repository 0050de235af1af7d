// The URL-allowlist policy keys: their names, built from the configured SID, and the values that
// exist of them inside the sandbox.
#include "names/url_allowlist.h"

#include "tests/support/machine_fixture.h"
#include "tests/support/redirect_config.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vextest::Utf8;
using vextest::Wide;

const std::u16string kHkcu = u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001";
const std::u16string kEdge = u"\\Software\\Policies\\Microsoft\\Edge\\URLAllowlist";
const std::u16string kChrome = u"\\Software\\Policies\\Google\\Chrome\\URLAllowlist";

class UrlAllowlistTest : public vextest::DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        vextest::ConfigureRedirectNames();
    }
    void TearDown() override
    {
        UAPFinalize();
        DriverTest::TearDown();
    }
    static bool IsAllowlisted(const std::u16string& key, const char16_t* value)
    {
        Wide keyName(key);
        Wide valueName(value != nullptr ? value : u"");
        return IsUrlAllowlistKey(keyName.get(), value != nullptr ? valueName.get() : nullptr);
    }
};

TEST_F(UrlAllowlistTest, OnlyValuesOneAndTwoOfTheFourKeysExist)
{
    const struct {
        std::u16string key;
        const char16_t* value;
        bool hidden;
    } rows[] = {
        {kHkcu + kEdge, u"1", false},
        {kHkcu + kEdge, u"2", false},
        {kHkcu + kEdge, u"3", true},
        {kHkcu + kEdge, u"12", true},
        {kHkcu + kEdge, u"", true},      // the default value
        {kHkcu + kEdge, nullptr, true},  // every value of the key
        {kHkcu + kEdge + u"\\", u"3", true},  // opened with an empty relative name
        {kHkcu + kEdge + u"\\\\", u"3", false},
        {kHkcu + kChrome, u"x", true},
        {u"\\registry\\machine\\software\\policies\\microsoft\\edge\\urlallowlist", u"x", true},
        {u"\\Registry\\Machine" + kChrome, nullptr, true},
        {u"\\Registry\\Machine" + kChrome + u"\\Sub", u"x", false},  // below the key
        {u"\\Registry\\Machine\\Software\\Policies\\Google\\Chrome", u"x", false},
        {u"\\REGISTRY\\USER\\S-1-5-21-9-9-9-1002" + kEdge, u"x", false},  // another user
    };
    for (const auto& row : rows) {
        EXPECT_FALSE(IsAllowlisted(row.key, row.value)) << "before the names are built: " << Utf8(row.key);
    }
    vexsim::ClearDebugOutput();
    ASSERT_EQ(STATUS_SUCCESS, UAPInitialize());
    EXPECT_EQ((std::vector<std::string>{
                  "VexRegFilter.sys: UAPGlobals.HklmEdgeKey = '\\Registry\\Machine" + Utf8(kEdge) + "'",
                  "VexRegFilter.sys: UAPGlobals.HklmChromeKey = '\\Registry\\Machine" + Utf8(kChrome) + "'",
                  "VexRegFilter.sys: UAPGlobals.HkcuEdgeKey = '\\Registry\\User\\S-1-5-21-1-2-3-1001" + Utf8(kEdge) + "'",
                  "VexRegFilter.sys: UAPGlobals.HkcuChromeKey = '\\Registry\\User\\S-1-5-21-1-2-3-1001" + Utf8(kChrome) + "'",
              }),
              vexsim::DebugOutput());
    for (const auto& row : rows) {
        EXPECT_EQ(row.hidden, IsAllowlisted(row.key, row.value)) << Utf8(row.key);
    }
    EXPECT_FALSE(IsUrlAllowlistKey(nullptr, nullptr));
    for (PUNICODE_STRING name : {&UAPGlobals.HklmEdgeKey, &UAPGlobals.HkcuEdgeKey, &UAPGlobals.HklmChromeKey, &UAPGlobals.HkcuChromeKey}) {
        EXPECT_EQ(name->Length, name->MaximumLength);  // exactly sized
    }

    // Building again replaces the names; finalising empties them all.
    ASSERT_EQ(STATUS_SUCCESS, UAPInitialize());
    UAPFinalize();
    for (const auto& row : rows) {
        EXPECT_FALSE(IsAllowlisted(row.key, row.value)) << "after finalising: " << Utf8(row.key);
    }
    for (PUNICODE_STRING name : {&UAPGlobals.HklmEdgeKey, &UAPGlobals.HkcuEdgeKey, &UAPGlobals.HklmChromeKey, &UAPGlobals.HkcuChromeKey}) {
        EXPECT_EQ(nullptr, name->Buffer);
        EXPECT_EQ(0, name->Length);
        EXPECT_EQ(0, name->MaximumLength);
    }
}

TEST_F(UrlAllowlistTest, AnAllocationFailureKeepsTheNamesBuiltBeforeIt)
{
    const std::vector<std::string> failureLines = {
        "VexRegFilter.sys: UAPGlobals.HklmEdgeKey.Buffer allocate error",
        "VexRegFilter.sys: UAPGlobals.HklmChromeKey.Buffer allocate error",
        "VexRegFilter.sys: HkcuEdgeKey.Buffer allocate error",
        "VexRegFilter.sys: HkcuChromeKey.Buffer allocate error",
    };
    const std::vector<PUNICODE_STRING> buildOrder = {&UAPGlobals.HklmEdgeKey, &UAPGlobals.HklmChromeKey, &UAPGlobals.HkcuEdgeKey,
                                                     &UAPGlobals.HkcuChromeKey};
    vextest::ForEachAllocationFailure(
        [] {
            vexsim::ClearDebugOutput();
            return UAPInitialize();
        },
        [&](NTSTATUS status, int failing) {
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
            ASSERT_LE(failing, 4);
            EXPECT_EQ(failureLines[failing - 1], vexsim::DebugOutput().back());
            for (int i = 0; i < 4; i++) {
                EXPECT_EQ(i < failing - 1, buildOrder[i]->Buffer != nullptr) << failing << " " << i;
            }
            // The exact size: the counted name fills its buffer.
            if (failing > 1) {
                EXPECT_EQ(buildOrder[0]->Length, buildOrder[0]->MaximumLength);
            }
        });
}

}  // namespace
