#include "common/match.h"

// Equal characters need no case mapping; the names compared mostly agree in case.
static BOOLEAN IsSameCharacter(WCHAR A, WCHAR B)
{
    return A == B || RtlUpcaseUnicodeChar(A) == RtlUpcaseUnicodeChar(B);
}

// The characters a comparison reads, in place: Length characters of Buffer, followed by one
// separator when Separator is set. Nothing is copied, so the pool plays no part in an answer.
typedef struct _NAME_CHARACTERS {
    const WCHAR* Buffer;
    SIZE_T Length;      // characters read from Buffer
    BOOLEAN Separator;  // a '\' follows them
} NAME_CHARACTERS;

static SIZE_T TotalLength(const NAME_CHARACTERS* Name)
{
    return Name->Length + (Name->Separator ? 1 : 0);
}

static WCHAR CharacterAt(const NAME_CHARACTERS* Name, SIZE_T Index)
{
    return Index < Name->Length ? Name->Buffer[Index] : L'\\';
}

// Characters up to the first NUL or the end: the matcher reads a NUL as the end of its string.
static SIZE_T LengthBeforeNul(const WCHAR* Buffer, SIZE_T Length)
{
    SIZE_T length = 0;
    while (length < Length && Buffer[length] != UNICODE_NULL) {
        length++;
    }
    return length;
}

BOOLEAN HasTrailingSeparator(PCUNICODE_STRING Path)
{
    if (Path == NULL || Path->Buffer == NULL) {
        return FALSE;
    }
    USHORT characters = Path->Length / sizeof(WCHAR);
    return characters > 0 && Path->Buffer[characters - 1] == L'\\';
}

// A key path in its normalised form: its characters and one '\' after them when it does not end
// with one, and the length of that form in bytes. False for a missing or empty path, which has no
// normalised form.
static BOOLEAN NormalizedCharacters(PCUNICODE_STRING KeyPath, NAME_CHARACTERS* Characters, PULONG Bytes)
{
    if (KeyPath == NULL || KeyPath->Buffer == NULL || KeyPath->Length < sizeof(WCHAR)) {
        return FALSE;
    }
    Characters->Buffer = KeyPath->Buffer;
    Characters->Length = KeyPath->Length / sizeof(WCHAR);
    Characters->Separator = !HasTrailingSeparator(KeyPath);
    *Bytes = (ULONG)KeyPath->Length + (Characters->Separator ? sizeof(WCHAR) : 0);
    return TRUE;
}

// The matcher's one departure from plain wildcard matching is at the end of the string: there a
// star matches only if it is the pattern's last character. Two or more trailing stars therefore
// demand at least one more character and then anything, which is exactly what "?*" asks for; every
// other pattern matches as usual. So a pattern ending in two or more stars is read as its stem
// followed by "?*", and the match runs as ordinary greedy wildcard matching with one remembered
// star. That gives the same answers as trying every run for every star, in time bounded by the
// product of the two lengths instead of growing exponentially with the number of stars.
static BOOLEAN MatchCharacters(const NAME_CHARACTERS* String, const WCHAR* Pattern, SIZE_T PatternLength)
{
    const SIZE_T stringLength = TotalLength(String);
    SIZE_T patternLength = PatternLength;

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
        } else if (p < patternLength && (pc == L'?' || IsSameCharacter(CharacterAt(String, s), pc))) {
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

static SIZE_T WideLength(PCWSTR String)
{
    SIZE_T length = 0;
    while (String[length] != UNICODE_NULL) {
        length++;
    }
    return length;
}

BOOLEAN MatchNamePattern(PCWSTR String, PCWSTR Pattern)
{
    const NAME_CHARACTERS string = {String, WideLength(String), FALSE};
    return MatchCharacters(&string, Pattern, WideLength(Pattern));
}

// Does the name differ from the literal characters that begin the pattern, up to its first
// wildcard? Such a name can match in no way. Most tests meet names that differ there, and are
// answered without measuring either string.
static BOOLEAN DiffersFromLiteralStart(const NAME_CHARACTERS* Name, const WCHAR* Pattern, SIZE_T PatternLength)
{
    for (SIZE_T i = 0; i < PatternLength; i++) {
        const WCHAR pc = Pattern[i];
        if (pc == L'*' || pc == L'?' || pc == UNICODE_NULL) {
            return FALSE;
        }
        const BOOLEAN nameEnded = i >= TotalLength(Name) || (i < Name->Length && Name->Buffer[i] == UNICODE_NULL);
        if (nameEnded || !IsSameCharacter(CharacterAt(Name, i), pc)) {
            return TRUE;
        }
    }
    return FALSE;
}

// Both strings end at their first NUL, as they would in NUL-terminated copies. A separator to
// follow the name is read only when the name has no NUL: in a copy it would come after the end.
static BOOLEAN MatchCounted(NAME_CHARACTERS Name, PCUNICODE_STRING Pattern)
{
    if (Pattern == NULL || Pattern->Buffer == NULL) {
        return FALSE;
    }
    if (DiffersFromLiteralStart(&Name, Pattern->Buffer, Pattern->Length / sizeof(WCHAR))) {
        return FALSE;
    }
    const SIZE_T nameLength = LengthBeforeNul(Name.Buffer, Name.Length);
    if (nameLength < Name.Length) {
        Name.Length = nameLength;
        Name.Separator = FALSE;
    }
    return MatchCharacters(&Name, Pattern->Buffer, LengthBeforeNul(Pattern->Buffer, Pattern->Length / sizeof(WCHAR)));
}

BOOLEAN IsMatchName(PCUNICODE_STRING Name, PCUNICODE_STRING Pattern)
{
    if (Name == NULL || Name->Buffer == NULL) {
        return FALSE;
    }
    return MatchCounted({Name->Buffer, (SIZE_T)(Name->Length / sizeof(WCHAR)), FALSE}, Pattern);
}

BOOLEAN IsMatchKeyPath(PCUNICODE_STRING KeyPath, PCUNICODE_STRING Pattern)
{
    NAME_CHARACTERS path;
    ULONG bytes;
    return NormalizedCharacters(KeyPath, &path, &bytes) && MatchCounted(path, Pattern);
}

// Do the first Count characters of A and B agree, ignoring case?
static BOOLEAN HaveSameStart(const NAME_CHARACTERS* A, const NAME_CHARACTERS* B, SIZE_T Count)
{
    for (SIZE_T i = 0; i < Count; i++) {
        if (!IsSameCharacter(CharacterAt(A, i), CharacterAt(B, i))) {
            return FALSE;
        }
    }
    return TRUE;
}

static NAME_CHARACTERS CharactersOf(PCUNICODE_STRING String)
{
    return {String->Buffer, (SIZE_T)(String->Length / sizeof(WCHAR)), FALSE};
}

BOOLEAN IsSameName(PCUNICODE_STRING A, PCUNICODE_STRING B)
{
    if (A == NULL || B == NULL || A->Length != B->Length) {
        return FALSE;
    }
    const NAME_CHARACTERS a = CharactersOf(A), b = CharactersOf(B);
    return HaveSameStart(&a, &b, a.Length);
}

BOOLEAN IsPrefixName(PCUNICODE_STRING Prefix, PCUNICODE_STRING Name)
{
    if (Prefix == NULL || Name == NULL || Prefix->Length > Name->Length) {
        return FALSE;
    }
    const NAME_CHARACTERS prefix = CharactersOf(Prefix), name = CharactersOf(Name);
    return HaveSameStart(&prefix, &name, prefix.Length);
}

BOOLEAN IsSameKeyPath(PCUNICODE_STRING Name, PCUNICODE_STRING KeyPath)
{
    NAME_CHARACTERS path;
    ULONG bytes;
    if (Name == NULL || !NormalizedCharacters(KeyPath, &path, &bytes) || Name->Length != bytes) {
        return FALSE;
    }
    const NAME_CHARACTERS name = CharactersOf(Name);
    return HaveSameStart(&name, &path, name.Length);
}

BOOLEAN IsPrefixOfKeyPath(PCUNICODE_STRING Prefix, PCUNICODE_STRING KeyPath)
{
    NAME_CHARACTERS path;
    ULONG bytes;
    if (Prefix == NULL || !NormalizedCharacters(KeyPath, &path, &bytes) || Prefix->Length > bytes) {
        return FALSE;
    }
    const NAME_CHARACTERS prefix = CharactersOf(Prefix);
    return HaveSameStart(&prefix, &path, prefix.Length);
}

VOID NextKeyPathChunk(PUNICODE_STRING Rest, BOOLEAN Absolute, PUNICODE_STRING Chunk)
{
    USHORT characters = Rest->Length / sizeof(WCHAR);
    if (characters > 0 && Rest->Buffer[characters - 1] == L'\\') {
        characters--;
    }
    const ULONG boundary = Absolute ? DEEP_KEY_PATH_COMPONENTS + 1 : DEEP_KEY_PATH_COMPONENTS;
    ULONG separators = 0;
    *Chunk = *Rest;
    Chunk->Length = (USHORT)(characters * sizeof(WCHAR));
    Rest->Length = 0;
    for (USHORT i = 0; i < characters; i++) {
        if (Rest->Buffer[i] == L'\\' && ++separators == boundary) {
            Chunk->Length = (USHORT)(i * sizeof(WCHAR));
            Rest->Buffer += i + 1;
            Rest->Length = (USHORT)((characters - i - 1) * sizeof(WCHAR));
            break;
        }
    }
    Chunk->MaximumLength = Chunk->Length;
    Rest->MaximumLength = Rest->Length;
}
