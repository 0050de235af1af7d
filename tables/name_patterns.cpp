// The name patterns of container (silo) user hives and application hives, built at start-up.
#include "tables/builtin_lists.h"

#include "driver/global.h"
#include "names/match.h"
#include "names/name_buffer.h"

HL_DATA g_HLData;

// The question marks are escaped so that no pair of them reads as a trigraph.
#define SILO_PREFIX L"\\REGISTRY\\WC\\Silo\?\?\?\?\?\?\?\?-\?\?\?\?-\?\?\?\?-\?\?\?\?-\?\?\?\?\?\?\?\?\?\?\?\?"
#define APP_HIVE_ROOT L"\\REGISTRY\\A\\{\?\?\?\?\?\?\?\?-\?\?\?\?-\?\?\?\?-\?\?\?\?-\?\?\?\?\?\?\?\?\?\?\?\?}"

// In the order they are built; a failure leaves this and the later ones empty.
static const struct {
    PUNICODE_STRING Pattern;
    PCWSTR Text;
} g_Patterns[] = {
    {&g_HLData.SiloUserClassesPattern, SILO_PREFIX L"user_classes*"},
    {&g_HLData.SiloUserSidClassesPattern, SILO_PREFIX L"user_sid\\Software\\Classes*"},
    {&g_HLData.SiloUserClassesOwnPattern, SILO_PREFIX L"user_classes\\Tessaline\\VexRegFilter\\*"},
    {&g_HLData.SiloUserSidPattern, SILO_PREFIX L"user_sid*"},
    {&g_HLData.AppHiveRootPattern, APP_HIVE_ROOT},
    {&g_HLData.AppHiveRootSlashPattern, APP_HIVE_ROOT L"\\"},
    {&g_HLData.AppHiveSubkeyPattern, APP_HIVE_ROOT L"\\*"},
};

NTSTATUS HLInitialize(VOID)
{
    ExInitializeFastMutex(&g_HLData.HiveLock);
    InitializeListHead(&g_HLData.HiveList);
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_Patterns); i++) {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, g_Patterns[i].Text);
        NTSTATUS status = AllocateName(g_Patterns[i].Pattern, (ULONG)text.Length + sizeof(WCHAR));
        if (!NT_SUCCESS(status)) {
            return status;
        }
        AppendName(g_Patterns[i].Pattern, &text);
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
    return IsMatchName(Name, &g_HLData.AppHiveRootPattern) || IsMatchName(Name, &g_HLData.AppHiveRootSlashPattern);
}
