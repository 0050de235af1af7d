// Name patterns of container (silo) user hives and of application hives, built once at start-up
// (HLInitialize) and matched with IsMatchName: '?' is one character, '*' any run. A pattern that
// could not be built is empty and matches nothing. The patterns are written only at start-up and
// unload and read without a lock.
#pragma once

#include "platform.h"

// The question marks are escaped so that no pair of them reads as a trigraph.
#define SILO_PREFIX L"\\REGISTRY\\WC\\Silo\?\?\?\?\?\?\?\?-\?\?\?\?-\?\?\?\?-\?\?\?\?-\?\?\?\?\?\?\?\?\?\?\?\?"
#define APP_HIVE_ROOT L"\\REGISTRY\\A\\{\?\?\?\?\?\?\?\?-\?\?\?\?-\?\?\?\?-\?\?\?\?-\?\?\?\?\?\?\?\?\?\?\?\?}"

#define SILO_USER_CLASSES_PATTERN SILO_PREFIX L"user_classes*"
#define SILO_USER_SID_CLASSES_PATTERN SILO_PREFIX L"user_sid\\Software\\Classes*"
#define SILO_USER_CLASSES_OWN_PATTERN SILO_PREFIX L"user_classes\\Tessaline\\VexRegFilter\\*"
#define SILO_USER_SID_PATTERN SILO_PREFIX L"user_sid*"

// The characters a pattern that ends in its only star matches before the star: every '?' stands
// for exactly one character, so this is the pattern's length without the star.
#define PATTERN_STEM_CHARS(Pattern) (sizeof(Pattern) / sizeof(WCHAR) - 2)

typedef struct _HL_PATTERNS {
    UNICODE_STRING SiloUserClassesPattern;    // a silo's user classes hive and below
    UNICODE_STRING SiloUserClassesOwnPattern; // the driver's own key below a silo's user classes
    UNICODE_STRING SiloUserSidClassesPattern; // the Classes key of a silo's user hive and below
    UNICODE_STRING SiloUserSidPattern;        // a silo's user hive and below
    UNICODE_STRING AppHiveRootPattern;        // an application hive root
    UNICODE_STRING AppHiveRootSlashPattern;   // an application hive root with a trailing '\'
    UNICODE_STRING AppHiveSubkeyPattern;      // anything below an application hive root
} HL_PATTERNS, *PHL_PATTERNS;

extern HL_PATTERNS g_HLPatterns;

// Prepares the application-hive list, then builds the patterns in order; at the first allocation
// failure the rest stay empty and STATUS_INSUFFICIENT_RESOURCES is returned.
NTSTATUS HLInitialize(VOID);

// Empties the application-hive list and frees the patterns.
VOID HLFinalize(VOID);

// Is Name an application hive root, with or without a trailing '\'?
BOOLEAN IsAppHiveRootName(PCUNICODE_STRING Name);
