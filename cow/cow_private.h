// Helpers the copy-on-write files share.
#pragma once

#include "cow/cow.h"

// Opens Name relative to Root, or absolute when Root is none, with the layer's attributes.
NTSTATUS OpenKeyAt(PHANDLE Handle, HANDLE Root, PCUNICODE_STRING Name, ACCESS_MASK Access);

// Creates Name (or opens it when it exists) relative to Root, or absolute when Root is none, with
// KEY_ALL_ACCESS, the layer's attributes, no class and CreateOptions.
NTSTATUS CreateKeyAt(PHANDLE Handle, HANDLE Root, PCUNICODE_STRING Name, ULONG CreateOptions);

// Closes an open handle and forgets it; harmless on none.
VOID CloseKey(PHANDLE Handle);
