#pragma once

#include "platform.h"

// Undoes everything start-up and the configuration set up, in the unload order; each step checks
// whether its resource exists, so it serves both unload and a failed start-up.
VOID ReleaseDriverState(VOID);
