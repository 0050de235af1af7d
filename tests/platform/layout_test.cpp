// The Linux build's declarations have the x64 Windows layout: every size and offset of the list
// the cross build checks at compile time.
#include "platform/platform.h"
#include "platform/layout_expectations.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

TEST(LayoutTest, SizesAreThoseOfX64Windows)
{
#define VEX_EXPECT_SIZE(type, size) EXPECT_EQ((size_t)(size), sizeof(type)) << "size of " #type;
    VEX_LAYOUT_SIZES(VEX_EXPECT_SIZE)
#undef VEX_EXPECT_SIZE
}

TEST(LayoutTest, OffsetsAreThoseOfX64Windows)
{
#define VEX_EXPECT_OFFSET(type, field, offset) \
    EXPECT_EQ((size_t)(offset), __builtin_offsetof(type, field)) << "offset of " #type "." #field;
    VEX_LAYOUT_OFFSETS(VEX_EXPECT_OFFSET)
#undef VEX_EXPECT_OFFSET
}

}  // namespace
