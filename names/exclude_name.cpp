// The top of the registry is never redirected: the root, the hive roots, the users' hive roots
// and the application hive roots.
#include "names/names.h"

#include "common/match.h"
#include "common/name_buffer.h"
#include "names/name_patterns.h"
#include "tables/global_data.h"

static const UNICODE_STRING g_UserRootPattern = CONSTANT_NAME(L"\\REGISTRY\\USER\\S-?-?-?*\\");
static const UNICODE_STRING g_MachineHive = CONSTANT_NAME(L"\\REGISTRY\\MACHINE\\");
static const UNICODE_STRING g_UserHive = CONSTANT_NAME(L"\\REGISTRY\\USER\\");
static const UNICODE_STRING g_DefaultUserRoot = CONSTANT_NAME(L"\\REGISTRY\\USER\\.DEFAULT\\");

// Names with fewer separators than this (\REGISTRY, \REGISTRY\MACHINE) are the top itself; names
// deeper than MAX_ROOT_SEPARATORS are below every root.
#define TOP_SEPARATORS 3
#define MAX_ROOT_SEPARATORS 4

static BOOLEAN IsRootName(PCUNICODE_STRING FullName)
{
    ULONG separators = 0;
    const USHORT characters = FullName->Length / sizeof(WCHAR);
    for (USHORT i = 0; i < characters; i++) {
        if (FullName->Buffer[i] == L'\\' && ++separators > MAX_ROOT_SEPARATORS) {
            return FALSE;
        }
    }
    if (separators < TOP_SEPARATORS) {
        return TRUE;
    }
    const BOOLEAN endsWithSeparator = characters > 0 && FullName->Buffer[characters - 1] == L'\\';
    if (!endsWithSeparator && separators == MAX_ROOT_SEPARATORS) {
        return FALSE;
    }

    // The roots are compared with their trailing separator, read in place. An application hive
    // root is IsAppHiveRootName of the name with that separator.
    return IsMatchKeyPath(FullName, &g_UserRootPattern) || IsSameKeyPath(&g_MachineHive, FullName) ||
           IsSameKeyPath(&g_UserHive, FullName) || IsSameKeyPath(&g_DefaultUserRoot, FullName) ||
           IsMatchKeyPath(FullName, &g_HLPatterns.AppHiveRootPattern) ||
           IsMatchKeyPath(FullName, &g_HLPatterns.AppHiveRootSlashPattern);
}

BOOLEAN IsExcludeName(PCUNICODE_STRING FullName)
{
    TraceLinePrefixed("IsExcludeName() - enter\n");
    TraceLinePrefixed("IsExcludeName() [FullName] : %wZ\n", FullName);
    BOOLEAN exclude = IsNameSet(FullName) && IsRootName(FullName);
    TraceLinePrefixed("IsExcludeName() [Exclude] : %x\n", exclude ? 1 : 0);
    TraceLinePrefixed("IsExcludeName() - exit\n");
    return exclude;
}
