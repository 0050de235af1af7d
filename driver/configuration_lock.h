// The configuration lock: one holder at a time for every change of the redirection's names and
// state (the name setters, value writes into the copy, start, stop), the parameter dump and
// unload. The holder creates keys, registers and unregisters routines and waits for threads, so
// the lock is a synchronization event taken inside a critical region: the holder stays at
// PASSIVE_LEVEL, where the Zw routines and waits are allowed (a fast mutex would raise it to
// APC_LEVEL). The registry callback and the notify routines never take it.
#pragma once

#include "platform.h"

// Start-up, before the control device exists.
VOID InitializeConfigurationLock(VOID);
VOID AcquireConfigurationLock(VOID);
VOID ReleaseConfigurationLock(VOID);
