// Debugger lines. Most lines of the driver come in two pieces, "VexRegFilter.sys: " and then the
// message, printed by two DbgPrint calls; the kernel debugger shows them as one line.
#pragma once

#include "platform.h"

#define VEX_LINE_PREFIX "VexRegFilter.sys: "

// Prints VEX_LINE_PREFIX, then the formatted message.
#define PrintPrefixed(...)          \
    do {                            \
        DbgPrint(VEX_LINE_PREFIX);  \
        DbgPrint(__VA_ARGS__);      \
    } while (0)
