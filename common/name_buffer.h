// Owned counted strings: allocation with a checked capacity, appends into it, copies and frees.
//
// A counted string holds at most MAX_COUNTED_BYTES bytes. Names that the sandboxed programs choose
// can come close to that limit, so every capacity is summed in 32 bits and a sum beyond it is
// refused with STATUS_NAME_TOO_LONG instead of wrapping into a short buffer. Buffers are
// zero-filled VexR allocations that their owner frees with FreeOwnedString.
#pragma once

#include "platform.h"

// The largest even byte count a 16-bit length can hold.
#define MAX_COUNTED_BYTES 0xFFFE

// A counted string over a string literal, for constant tables.
#define CONSTANT_NAME(Literal) {sizeof(Literal) - sizeof(WCHAR), sizeof(Literal), (PWSTR)(Literal)}

// Does String have a buffer? A counted string without one counts as not configured.
FORCEINLINE BOOLEAN IsNameSet(PCUNICODE_STRING String)
{
    return String != NULL && String->Buffer != NULL;
}

// Gives String a new zero-filled VexR buffer of Capacity bytes with length 0. String must not own
// a buffer. STATUS_NAME_TOO_LONG when Capacity exceeds MAX_COUNTED_BYTES,
// STATUS_INSUFFICIENT_RESOURCES when the pool is empty; either way String is left empty.
NTSTATUS AllocateName(PUNICODE_STRING String, ULONG Capacity);

// Appends Bytes bytes of Source. The caller sized the buffer for them with AllocateName; bytes that
// would pass MaximumLength are never written: such an append leaves String as it was.
VOID AppendNameBytes(PUNICODE_STRING String, const WCHAR* Source, ULONG Bytes);

// Appends the whole of Source.
VOID AppendName(PUNICODE_STRING String, PCUNICODE_STRING Source);

// Appends Source without its first SkipBytes bytes (nothing when Source is not longer).
VOID AppendNameTail(PUNICODE_STRING String, PCUNICODE_STRING Source, ULONG SkipBytes);

// A new copy of Source in Destination, which must own no buffer, with a buffer of Capacity bytes
// (never less than Source's length). An empty Source, with or without a buffer, copies nothing.
NTSTATUS CopyName(PUNICODE_STRING Destination, PCUNICODE_STRING Source, ULONG Capacity);

// A new exactly sized copy of Source in Destination, which must own no buffer.
NTSTATUS DuplicateName(PUNICODE_STRING Destination, PCUNICODE_STRING Source);

// Frees the buffer of an owned counted string and empties it; harmless on an empty one.
VOID FreeOwnedString(PUNICODE_STRING String);
