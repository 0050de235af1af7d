// Keys under Wow6432Node that the 32-bit and the 64-bit registry views share. Two constant
// tables define them: the users' rows are wildcard patterns, the machine's rows plain prefixes.
// The first row whose key fits decides alone; in the machine table a more specific row comes
// before the row that contains it.
#include "names/names.h"

#include "common/match.h"
#include "common/name_buffer.h"

// A key and the subkeys of it that are shared; without subkeys the whole key is shared. The
// subkey list ends at the first empty string, the table at the first row with an empty key.
typedef struct _SHARED_KEY_ENTRY {
    UNICODE_STRING Key;
    UNICODE_STRING Subkeys[32];
} SHARED_KEY_ENTRY, *PSHARED_KEY_ENTRY;
static_assert(sizeof(SHARED_KEY_ENTRY) == 33 * sizeof(UNICODE_STRING), "a row holds its key and up to 32 subkeys");

#define N(Literal) CONSTANT_NAME(Literal)

static const SHARED_KEY_ENTRY SharedUserKeyTable[] = {
    {N(L"\\REGISTRY\\USER\\S-?-?-?*\\SOFTWARE\\WOW6432Node\\Classes\\*"), {}},
    {N(L"\\REGISTRY\\USER\\S-?-?-?*\\SOFTWARE\\Classes\\WOW6432Node\\AppId\\*"), {}},
    {},
};

static const SHARED_KEY_ENTRY SharedMachineKeyTable[] = {
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Classes\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\WOW6432Node\\"),
        {
         N(L"AppId\\"),
         N(L"HCP\\"),
        }},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Clients\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Policies\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\RegisteredApplications\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Cellular\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\DeviceReg\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\FingerKB\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\FuzzyDS\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Input\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\LanguageOverlay\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Messaging\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\MTF\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\MTFFuzzyFactors\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\MTFInputType\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\MTFKeyboardMappings\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Phone\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Pim\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Poom\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\SecurityManager\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Semgr\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Shell\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Unified Store\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\UserData\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Theme\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\ThemeVolatile\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Parental Controls\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Containers\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Virtualization\\HvSocket\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows Search\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\XAML\\"), {}},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\"),
        {
         N(L"App Paths\\"),
         N(L"Control Panel\\Cursors\\Schemes\\"),
         N(L"Explorer\\AutoplayHandlers\\"),
         N(L"Explorer\\DriveIcons\\"),
         N(L"Explorer\\KindMap\\"),
         N(L"Group Policy\\"),
         N(L"Policies\\"),
         N(L"PreviewHandlers\\"),
         N(L"Setup\\"),
         N(L"Telephony\\Locations\\"),
        }},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion\\"),
        {
         N(L"Console\\"),
         N(L"FontDPI\\"),
         N(L"FontLink\\"),
         N(L"FontMapper\\"),
         N(L"Fonts\\"),
         N(L"FontSubstitutes\\"),
         N(L"GRE_Initialize\\"),
         N(L"Image File Execution Options\\"),
         N(L"LanguagePack\\"),
         N(L"NetworkCards\\"),
         N(L"Perflib\\"),
         N(L"Ports\\"),
         N(L"Print\\"),
         N(L"ProfileList\\"),
         N(L"Time Zones\\"),
        }},
    {N(L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\"),
        {
         N(L"COM3\\"),
         N(L"Cryptography\\Calais\\Current\\"),
         N(L"Cryptography\\Calais\\Readers\\"),
         N(L"Cryptography\\Services\\"),
         N(L"CTF\\SystemShared\\"),
         N(L"CTF\\TIP\\"),
         N(L"DFS\\"),
         N(L"Driver Signing\\"),
         N(L"EnterpriseCertificates\\"),
         N(L"EventSystem\\"),
         N(L"MSMQ\\"),
         N(L"Non-Driver Signing\\"),
         N(L"Notepad\\DefaultFonts\\"),
         N(L"Ole\\"),
         N(L"Ras\\"),
         N(L"Rpc\\"),
         N(L"Software\\Microsoft\\Shared Tools\\Msinfo\\"),
         N(L"SystemCertificates\\"),
         N(L"TermServLicensing\\"),
         N(L"Transaction Server\\"),
        }},
    {},
};

#undef N

// The tables' strings end in a separator, so each test reads the name in normalised form, with
// the separator appended when it has none: in place, so that running out of pool cannot unshare
// a shared key.
typedef BOOLEAN (*KEY_TEST)(PCUNICODE_STRING TableString, PCUNICODE_STRING KeyName);

static BOOLEAN MatchesPattern(PCUNICODE_STRING Pattern, PCUNICODE_STRING KeyName) { return IsMatchKeyPath(KeyName, Pattern); }

static BOOLEAN IsSharedByTable(const SHARED_KEY_ENTRY* Table, KEY_TEST Test, PCUNICODE_STRING KeyName)
{
    for (const SHARED_KEY_ENTRY* row = Table; row->Key.Buffer != NULL; row++) {
        if (!Test(&row->Key, KeyName)) {
            continue;
        }
        if (row->Subkeys[0].Buffer == NULL) {
            return TRUE;
        }
        // The rest of the name after the row's key. When the key took the appended separator too,
        // nothing is left, and no subkey begins nothing.
        if (row->Key.Length >= KeyName->Length) {
            return FALSE;
        }
        UNICODE_STRING rest;
        rest.Buffer = KeyName->Buffer + row->Key.Length / sizeof(WCHAR);
        rest.Length = rest.MaximumLength = (USHORT)(KeyName->Length - row->Key.Length);
        for (ULONG i = 0; i < RTL_NUMBER_OF(row->Subkeys) && row->Subkeys[i].Buffer != NULL; i++) {
            if (Test(&row->Subkeys[i], &rest)) {
                return TRUE;
            }
        }
        return FALSE;
    }
    return FALSE;
}

BOOLEAN IsMachineSharedKey(PCUNICODE_STRING KeyName)
{
    static const UNICODE_STRING userHive = CONSTANT_NAME(L"\\REGISTRY\\USER\\");

    if (!IsNameSet(KeyName) || KeyName->Length < sizeof(WCHAR)) {
        return FALSE;
    }
    // The user rows have no subkeys, so the length of a pattern never has to stand for the
    // length of what it matched.
    return IsPrefixName(&userHive, KeyName) ? IsSharedByTable(SharedUserKeyTable, MatchesPattern, KeyName)
                                            : IsSharedByTable(SharedMachineKeyTable, IsPrefixOfKeyPath, KeyName);
}
