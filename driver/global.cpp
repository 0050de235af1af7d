#include "driver/global.h"

VEX_REG_FILTER_DATA g_VexRegFilterData;

VOID FreeOwnedString(PUNICODE_STRING String)
{
    if (String->Buffer != NULL) {
        ExFreePoolWithTag(String->Buffer, VEXR_TAG);
    }
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
}
