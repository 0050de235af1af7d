// Owned counted strings for key names: allocation with a checked capacity and appends into it.
//
// A counted string holds at most MAX_NAME_BYTES bytes. Names that the sandboxed programs choose
// can come close to that limit, so every capacity is summed in 32 bits and a sum beyond it is
// refused with STATUS_NAME_TOO_LONG instead of wrapping into a short buffer.
#pragma once

#include "platform.h"

// The largest even byte count a 16-bit length can hold.
#define MAX_NAME_BYTES 0xFFFE

// Gives String a new zero-filled VexR buffer of Capacity bytes with length 0. String must not own
// a buffer. STATUS_NAME_TOO_LONG when Capacity exceeds MAX_NAME_BYTES, STATUS_INSUFFICIENT_RESOURCES
// when the pool is empty; either way String is left empty.
NTSTATUS AllocateName(PUNICODE_STRING String, ULONG Capacity);

// Appends Bytes bytes of Source; the caller sized the buffer for them with AllocateName.
VOID AppendNameBytes(PUNICODE_STRING String, const WCHAR* Source, ULONG Bytes);

// Appends the whole of Source.
VOID AppendName(PUNICODE_STRING String, PCUNICODE_STRING Source);

// Appends Source without its first SkipBytes bytes (nothing when Source is not longer).
VOID AppendNameTail(PUNICODE_STRING String, PCUNICODE_STRING Source, ULONG SkipBytes);

// A new exactly sized copy of Source in Destination, which must own no buffer.
NTSTATUS DuplicateName(PUNICODE_STRING Destination, PCUNICODE_STRING Source);

// Does String have a buffer? A counted string without one counts as not configured.
FORCEINLINE BOOLEAN IsNameSet(PCUNICODE_STRING String)
{
    return String != NULL && String->Buffer != NULL;
}

// A counted string over a string literal, for constant tables.
#define CONSTANT_NAME(Literal) {sizeof(Literal) - sizeof(WCHAR), sizeof(Literal), (PWSTR)(Literal)}
