#include "common/match.h"

#include "common/pool_tags.h"

static SIZE_T WideLength(PCWSTR String)
{
    SIZE_T length = 0;
    while (String[length] != UNICODE_NULL) {
        length++;
    }
    return length;
}

static BOOLEAN IsSameCharacter(WCHAR A, WCHAR B)
{
    return RtlUpcaseUnicodeChar(A) == RtlUpcaseUnicodeChar(B);
}

// The matcher's one departure from plain wildcard matching is at the end of the string: there a
// star matches only if it is the pattern's last character. Two or more trailing stars therefore
// demand at least one more character and then anything, which is exactly what "?*" asks for; every
// other pattern matches as usual. So a pattern ending in two or more stars is read as its stem
// followed by "?*", and the match runs as ordinary greedy wildcard matching with one remembered
// star. That gives the same answers as trying every run for every star, in time bounded by the
// product of the two lengths instead of growing exponentially with the number of stars.
BOOLEAN MatchNamePattern(PCWSTR String, PCWSTR Pattern)
{
    const SIZE_T stringLength = WideLength(String);
    SIZE_T patternLength = WideLength(Pattern);

    SIZE_T stemLength = patternLength;
    while (stemLength > 0 && Pattern[stemLength - 1] == L'*') {
        stemLength--;
    }
    const BOOLEAN endsInStarRun = (patternLength - stemLength) >= 2;
    if (endsInStarRun) {
        patternLength = stemLength + 2;
    }
    auto patternAt = [&](SIZE_T i) -> WCHAR {
        if (endsInStarRun && i >= stemLength) {
            return (i == stemLength) ? L'?' : L'*';
        }
        return Pattern[i];
    };

    SIZE_T s = 0;
    SIZE_T p = 0;
    SIZE_T starPattern = 0;
    SIZE_T starString = 0;
    BOOLEAN haveStar = FALSE;
    while (s < stringLength) {
        WCHAR pc = (p < patternLength) ? patternAt(p) : UNICODE_NULL;
        if (p < patternLength && pc == L'*') {
            haveStar = TRUE;
            starPattern = p++;
            starString = s;
        } else if (p < patternLength && (pc == L'?' || IsSameCharacter(String[s], pc))) {
            s++;
            p++;
        } else if (haveStar) {
            p = starPattern + 1;
            s = ++starString;
        } else {
            return FALSE;
        }
    }
    while (p < patternLength && patternAt(p) == L'*') {
        p++;
    }
    return p == patternLength;
}

// A zero-filled copy two bytes longer than the string, so it is NUL-terminated.
static PWSTR CopyTerminated(PCUNICODE_STRING String)
{
    PWSTR copy = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, (SIZE_T)String->Length + sizeof(WCHAR), VEXR_TAG);
    if (copy != NULL) {
        RtlCopyMemory(copy, String->Buffer, String->Length);
    }
    return copy;
}

BOOLEAN IsMatchName(PCUNICODE_STRING Name, PCUNICODE_STRING Pattern)
{
    if (Name == NULL || Pattern == NULL || Name->Buffer == NULL || Pattern->Buffer == NULL) {
        return FALSE;
    }
    BOOLEAN match = FALSE;
    PWSTR name = CopyTerminated(Name);
    PWSTR pattern = CopyTerminated(Pattern);
    if (name != NULL && pattern != NULL) {
        match = MatchNamePattern(name, pattern);
    }
    if (pattern != NULL) {
        ExFreePoolWithTag(pattern, VEXR_TAG);
    }
    if (name != NULL) {
        ExFreePoolWithTag(name, VEXR_TAG);
    }
    return match;
}

BOOLEAN IsSameName(PCUNICODE_STRING A, PCUNICODE_STRING B)
{
    if (A == NULL || B == NULL || A->Length != B->Length) {
        return FALSE;
    }
    for (USHORT i = 0; i < A->Length / sizeof(WCHAR); i++) {
        if (!IsSameCharacter(A->Buffer[i], B->Buffer[i])) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOLEAN IsPrefixName(PCUNICODE_STRING Prefix, PCUNICODE_STRING Name)
{
    if (Prefix == NULL || Name == NULL || Prefix->Length > Name->Length) {
        return FALSE;
    }
    for (USHORT i = 0; i < Prefix->Length / sizeof(WCHAR); i++) {
        if (!IsSameCharacter(Prefix->Buffer[i], Name->Buffer[i])) {
            return FALSE;
        }
    }
    return TRUE;
}

NTSTATUS SplitDeepKeyPath(PCUNICODE_STRING Path, PUNICODE_STRING Head, PUNICODE_STRING Tail)
{
    USHORT characters = Path->Length / sizeof(WCHAR);
    if (characters > 0 && Path->Buffer[characters - 1] == L'\\') {
        characters--;
    }

    ULONG separators = 0;
    for (USHORT i = 0; i < characters; i++) {
        if (Path->Buffer[i] == L'\\' && ++separators == DEEP_KEY_PATH_COMPONENTS + 1) {
            Head->Buffer = Path->Buffer;
            Head->Length = (USHORT)(i * sizeof(WCHAR));
            Head->MaximumLength = Head->Length;
            Tail->Buffer = Path->Buffer + i + 1;
            Tail->Length = (USHORT)((characters - i - 1) * sizeof(WCHAR));
            Tail->MaximumLength = Tail->Length;
            return STATUS_SUCCESS;
        }
    }
    *Head = *Path;
    return STATUS_SUCCESS;
}
