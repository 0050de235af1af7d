#include "tables/global_data.h"

VEX_REG_FILTER_DATA g_VexRegFilterData;
