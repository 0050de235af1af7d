// Compile-time check that the cross build's declarations have the x64 Windows layout.
#include "platform.h"
#include "layout_expectations.h"

#define VEX_CHECK_SIZE(type, size) static_assert(sizeof(type) == (size), "size of " #type);
#define VEX_CHECK_OFFSET(type, field, offset) \
    static_assert(__builtin_offsetof(type, field) == (offset), "offset of " #type "." #field);

VEX_LAYOUT_SIZES(VEX_CHECK_SIZE)
VEX_LAYOUT_OFFSETS(VEX_CHECK_OFFSET)
