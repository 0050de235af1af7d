// Keys that need special care: the user's choice of handler for a file extension or a URL scheme
// (the copy also takes the original's last-write time) and the certificate stores (security
// queries are answered from the original key). A UserChoice key matches only itself, with or
// without a trailing separator; a UserChoiceLatest key and a certificate store match together
// with everything below them. The stars span separators, so any hive and any depth match.
#include "names/names.h"

#include "common/match.h"
#include "common/name_buffer.h"

static const UNICODE_STRING g_UserChoiceFileExtPatterns[] = {
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\*\\UserChoice"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\*\\UserChoice\\"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\Roaming\\OpenWith\\FileExts\\*\\UserChoice"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\Roaming\\OpenWith\\FileExts\\*\\UserChoice\\"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\*\\UserChoiceLatest"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\*\\UserChoiceLatest\\*"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\Roaming\\OpenWith\\FileExts\\*\\UserChoiceLatest"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\Roaming\\OpenWith\\FileExts\\*\\UserChoiceLatest\\*"),
};

static const UNICODE_STRING g_UserChoiceUrlPatterns[] = {
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\*\\UserChoice"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\*\\UserChoice\\"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\Roaming\\OpenWith\\UrlAssociations\\*\\UserChoice"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\Roaming\\OpenWith\\UrlAssociations\\*\\UserChoice\\"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\*\\UserChoiceLatest"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\*\\UserChoiceLatest\\*"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\Roaming\\OpenWith\\UrlAssociations\\*\\UserChoiceLatest"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Software\\Microsoft\\Windows\\Roaming\\OpenWith\\UrlAssociations\\*\\UserChoiceLatest\\*"),
};

static const UNICODE_STRING g_CertificateStorePatterns[] = {
    CONSTANT_NAME(L"\\REGISTRY\\*\\Microsoft\\SystemCertificates\\*"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Microsoft\\SystemCertificates"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Microsoft\\EnterpriseCertificates\\*"),
    CONSTANT_NAME(L"\\REGISTRY\\*\\Microsoft\\EnterpriseCertificates"),
};

static BOOLEAN MatchesAny(PCUNICODE_STRING Name, const UNICODE_STRING* Patterns, ULONG Count)
{
    if (!IsNameSet(Name)) {
        return FALSE;
    }
    for (ULONG i = 0; i < Count; i++) {
        if (IsMatchName(Name, &Patterns[i])) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN IsUserChoiceFileExtKey(PCUNICODE_STRING Name)
{
    return MatchesAny(Name, g_UserChoiceFileExtPatterns, RTL_NUMBER_OF(g_UserChoiceFileExtPatterns));
}

BOOLEAN IsUserChoiceUrlKey(PCUNICODE_STRING Name)
{
    return MatchesAny(Name, g_UserChoiceUrlPatterns, RTL_NUMBER_OF(g_UserChoiceUrlPatterns));
}

BOOLEAN IsCertificateStoreKey(PCUNICODE_STRING Name)
{
    return MatchesAny(Name, g_CertificateStorePatterns, RTL_NUMBER_OF(g_CertificateStorePatterns));
}
