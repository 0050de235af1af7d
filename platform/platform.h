// The one header driver code includes for kernel services.
//
// Windows builds get the DDK headers of mingw-w64 plus the declarations they lack; Linux builds
// get the simulated kernel's declarations, which keep the DDK's names, types and signatures.
#pragma once

#if defined(_WIN32)
#include "windows/wdk.h"
#else
#include "sim/ntbase.h"
#include "sim/ntrtl.h"
#include "sim/ntex.h"
#include "sim/ntob.h"
#include "sim/ntio.h"
#include "sim/ntcm.h"
#include "sim/ntse.h"
#include "sim/ntfile.h"
#include "sim/ntps.h"
#include "sim/ntmm.h"
#endif

#include "fltmgr.h"
#include "pool.h"
#include "caller_memory.h"
