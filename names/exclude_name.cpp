// The top of the registry is never redirected: the root, the hive roots, the users' hive roots
// and the application hive roots.
#include "names/names.h"

#include "driver/global.h"
#include "names/match.h"
#include "names/name_buffer.h"
#include "tables/builtin_lists.h"

static const UNICODE_STRING g_UserRootPattern = CONSTANT_NAME(L"\\REGISTRY\\USER\\S-?-?-?*\\");
static const UNICODE_STRING g_MachineHive = CONSTANT_NAME(L"\\REGISTRY\\MACHINE\\");
static const UNICODE_STRING g_UserHive = CONSTANT_NAME(L"\\REGISTRY\\USER\\");
static const UNICODE_STRING g_DefaultUserRoot = CONSTANT_NAME(L"\\REGISTRY\\USER\\.DEFAULT\\");

// Names deeper than this many separators are below every root.
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
    if (separators < 3) {
        return TRUE;
    }
    const BOOLEAN endsWithSeparator = characters > 0 && FullName->Buffer[characters - 1] == L'\\';
    if (!endsWithSeparator && separators == MAX_ROOT_SEPARATORS) {
        return FALSE;
    }

    // The roots are compared with their trailing separator.
    UNICODE_STRING keyPath;
    if (!NT_SUCCESS(AllocateName(&keyPath, (ULONG)FullName->Length + sizeof(WCHAR)))) {
        DbgPrint("VexRegFilter.sys: ");
        DbgPrint("IsExcludeName - KeyPath allocate error\n");
        return FALSE;
    }
    AppendName(&keyPath, FullName);
    if (!endsWithSeparator) {
        static const WCHAR separator = L'\\';
        AppendNameBytes(&keyPath, &separator, sizeof(WCHAR));
    }
    BOOLEAN root = IsMatchName(&keyPath, &g_UserRootPattern) || IsSameName(&keyPath, &g_MachineHive) ||
                   IsSameName(&keyPath, &g_UserHive) || IsSameName(&keyPath, &g_DefaultUserRoot) || IsAppHiveRootName(&keyPath);
    FreeOwnedString(&keyPath);
    return root;
}

BOOLEAN IsExcludeName(PCUNICODE_STRING FullName)
{
    if (IsTraceEnabled()) {
        DbgPrint("VexRegFilter.sys: ");
        DbgPrint("IsExcludeName() - enter\n");
        DbgPrint("VexRegFilter.sys: ");
        DbgPrint("IsExcludeName() [FullName] : %wZ\n", FullName);
    }
    BOOLEAN exclude = IsNameSet(FullName) && IsRootName(FullName);
    if (IsTraceEnabled()) {
        DbgPrint("VexRegFilter.sys: ");
        DbgPrint("IsExcludeName() [Exclude] : %x\n", exclude ? 1 : 0);
        DbgPrint("VexRegFilter.sys: ");
        DbgPrint("IsExcludeName() - exit\n");
    }
    return exclude;
}
