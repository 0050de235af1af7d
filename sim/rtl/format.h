// The simulated kernel's one formatting engine: DbgPrint, the RtlString*Printf* routines and the
// driver's log all format through it.
//
// It follows the Microsoft C run-time and kernel conventions, not glibc's:
//   %d %i %u %x %X %o %c %s %p %% with the flags - + 0 space #, width and precision (either may be
//   *), and the size prefixes h hh l ll w I I32 I64 z t j. l is 32 bits (LLP64); I, z, t and j are
//   pointer-sized.
//   Strings and characters take the format's own width by default: in a narrow format %s and %c
//   are narrow and %S and %C wide; in a wide format the reverse. h forces narrow, l and w force
//   wide (%ws, %ls, %wc, %hs).
//   %Z prints a counted string: %hZ an ANSI_STRING, %wZ and %lZ a UNICODE_STRING, plain %Z the
//   format's own width. Only Length bytes are read; a NULL string or buffer prints "(null)", as
//   does a NULL %s argument.
//   %p prints the pointer as 16 upper-case hex digits without prefix, as MSVC does on x64.
//   Text after a conversion is literal: in "%08XL" the L is printed.
//   The 0 flag pads strings and characters with zeros too, as the Microsoft run-time does. A width
//   counts characters, whatever the output encoding.
// %n, floating-point and unknown conversions stop the machine: kernel code has no use for them
// and Windows would misread the argument list.
//
// Narrow output is UTF-8 (wide arguments are converted); wide output is UTF-16 (narrow arguments
// are decoded as UTF-8). Output stops after `limit` units; `truncated` (when given) tells whether
// anything was cut off.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>

namespace vexsim {

std::string FormatNarrow(PCSTR format, va_list args, size_t limit = SIZE_MAX, bool* truncated = nullptr);
std::u16string FormatWide(PCWSTR format, va_list args, size_t limit = SIZE_MAX, bool* truncated = nullptr);

}  // namespace vexsim
