// DbgPrint: formats with the kernel formatting engine and sends the text to the debugger capture.
#include "platform/platform.h"

#include "sim/debug/debug_output.h"
#include "sim/rtl/format.h"

namespace {

// The debugger transmits at most this many bytes of one DbgPrint call; the rest is dropped.
constexpr size_t kDbgPrintLimit = 512;

}  // namespace

// Unicode conversions (%wZ, %ws, %S, %C) are only valid at PASSIVE_LEVEL on Windows; that rule is
// not enforced yet.
ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    const std::string text = vexsim::FormatNarrow(Format, args, kDbgPrintLimit);
    va_end(args);
    vexsim::AppendDebugOutput(text);
    return STATUS_SUCCESS;
}
