// The name patterns of container (silo) user hives and application hives, built at start-up.
#include "names/name_patterns.h"

#include "common/match.h"
#include "common/name_buffer.h"
#include "tables/builtin_lists.h"

HL_PATTERNS g_HLPatterns;

// In the order they are built; a failure leaves this and the later ones empty.
static const struct {
    PUNICODE_STRING Pattern;
    UNICODE_STRING Text;
} g_Patterns[] = {
    {&g_HLPatterns.SiloUserClassesPattern, CONSTANT_NAME(SILO_USER_CLASSES_PATTERN)},
    {&g_HLPatterns.SiloUserSidClassesPattern, CONSTANT_NAME(SILO_USER_SID_CLASSES_PATTERN)},
    {&g_HLPatterns.SiloUserClassesOwnPattern, CONSTANT_NAME(SILO_USER_CLASSES_OWN_PATTERN)},
    {&g_HLPatterns.SiloUserSidPattern, CONSTANT_NAME(SILO_USER_SID_PATTERN)},
    {&g_HLPatterns.AppHiveRootPattern, CONSTANT_NAME(APP_HIVE_ROOT)},
    {&g_HLPatterns.AppHiveRootSlashPattern, CONSTANT_NAME(APP_HIVE_ROOT L"\\")},
    {&g_HLPatterns.AppHiveSubkeyPattern, CONSTANT_NAME(APP_HIVE_ROOT L"\\*")},
};

NTSTATUS HLInitialize(VOID)
{
    AHLInitialize();
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_Patterns); i++) {
        // Each pattern keeps the NUL of its text: its buffer is its length and two bytes.
        NTSTATUS status = CopyName(g_Patterns[i].Pattern, &g_Patterns[i].Text, g_Patterns[i].Text.MaximumLength);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

VOID HLFinalize(VOID)
{
    AHLClear();
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_Patterns); i++) {
        FreeOwnedString(g_Patterns[i].Pattern);
    }
}

BOOLEAN IsAppHiveRootName(PCUNICODE_STRING Name)
{
    return IsMatchName(Name, &g_HLPatterns.AppHiveRootPattern) || IsMatchName(Name, &g_HLPatterns.AppHiveRootSlashPattern);
}
