// The URL-allowlist policy keys of two browsers: inside the sandbox only their values "1" and "2"
// exist. The four key names are built from UserSid when redirection starts (before the registry
// callback is registered) and freed when it stops and at unload; the callback's handlers and the
// copy of values read them without a lock.
#pragma once

#include "platform.h"

typedef struct _UAP_GLOBALS {
    UNICODE_STRING HklmEdgeKey;    // the machine's Edge URLAllowlist policy key
    UNICODE_STRING HkcuEdgeKey;    // the user's Edge URLAllowlist policy key
    UNICODE_STRING HklmChromeKey;  // the machine's Chrome URLAllowlist policy key
    UNICODE_STRING HkcuChromeKey;  // the user's Chrome URLAllowlist policy key
} UAP_GLOBALS, *PUAP_GLOBALS;

extern UAP_GLOBALS UAPGlobals;

// Builds the four names (freeing earlier ones first); at the first allocation failure the names
// built so far stay and STATUS_INSUFFICIENT_RESOURCES is returned.
NTSTATUS UAPInitialize(VOID);
// Frees the four names; afterwards no key is a URL-allowlist key.
VOID UAPFinalize(VOID);

// Is KeyName (with or without one trailing separator) one of the four keys, and ValueName either
// none or a value other than "1" and "2"? Such values do not exist inside the sandbox.
BOOLEAN IsUrlAllowlistKey(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName);
