// Pool tags of the driver's allocations, as the ULONG the pool routines take: the four characters
// appear in memory order. Every free names the same tag as its allocation.
#pragma once

#define VEXR_TAG 'RxeV'  // "VexR": almost every allocation of the driver
#define VEXH_TAG 'HxeV'  // "VexH": the few records that say so
