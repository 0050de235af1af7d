// The parameter dump: a snapshot of the configuration written to the debug mailslot, with the
// detail the product's "DebugLogLevel" value chooses. The caller holds the configuration lock.
#pragma once

#include "platform.h"

// The status says where the dump stopped; the control request succeeds whatever it is.
NTSTATUS OutputCurrentParam(VOID);
