// Value data in .reg text: quoted strings, dword: and the hex forms, read and written.
#include "sim/regfile/regfile.h"

#include "sim/rtl/utf.h"

#include <cstdio>

namespace vexsim {

namespace {

// The registry editor keeps lines within 80 columns: a byte moves to the next line when "xx,"
// would take the line past 77 characters, which leaves room for the trailing backslash.
constexpr size_t kHexLineLimit = 77;
const std::u16string kCrLf = u"\r\n";

std::u16string Ascii(const char* text)
{
    return Utf8ToUtf16(text);
}

bool IsHexDigit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// A number of 1 to maxDigits hex digits, the whole of text.
bool ReadHexNumber(std::u16string_view text, size_t maxDigits, ULONGLONG* number)
{
    if (text.empty() || text.size() > maxDigits) {
        return false;
    }
    *number = 0;
    for (char16_t c : text) {
        if (!IsHexDigit(c)) {
            return false;
        }
        *number = *number * 16 + (c <= u'9' ? c - u'0' : (c | 0x20) - u'a' + 10);
    }
    return true;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && SameName(text.substr(0, prefix.size()), prefix);
}

std::vector<UCHAR> BytesOf(std::u16string_view text)
{
    std::vector<UCHAR> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<UCHAR>(unit & 0xFF));
        bytes.push_back(static_cast<UCHAR>(unit >> 8));
    }
    return bytes;
}

std::u16string TextOf(const std::vector<UCHAR>& bytes)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return text;
}

// "xx,xx,..." with optional blanks around each byte and an optional trailing comma.
NTSTATUS ReadHexBytes(std::u16string_view text, std::vector<UCHAR>* bytes, std::string* problem)
{
    text = TrimBlanks(text);
    while (!text.empty()) {
        size_t comma = text.find(u',');
        std::u16string_view item = TrimBlanks(text.substr(0, comma));
        ULONGLONG byte;
        if (!ReadHexNumber(item, 2, &byte)) {
            *problem = "\"" + Utf16ToUtf8(item) + "\" is not a hex byte";
            return STATUS_INVALID_PARAMETER;
        }
        bytes->push_back(static_cast<UCHAR>(byte));
        text = comma == std::u16string_view::npos ? std::u16string_view() : TrimBlanks(text.substr(comma + 1));
    }
    return STATUS_SUCCESS;
}

// Can a REG_SZ be written as a quoted string and read back to the same bytes?
bool IsQuotableString(const std::vector<UCHAR>& data, RegFileFormat format)
{
    if (data.size() < 2 || data.size() % 2 != 0) {
        return false;
    }
    std::u16string text = TextOf(data);
    if (text.back() != u'\0') {
        return false;
    }
    text.pop_back();
    if (text.find(u'\0') != std::u16string::npos || HasLineBreak(text)) {
        return false;
    }
    return format == RegFileFormat::Version5 || IsWellFormedUtf16(text);
}

void AppendWrappedHex(std::u16string prefix, const std::vector<UCHAR>& bytes, std::u16string* out)
{
    std::u16string line = std::move(prefix);
    for (size_t i = 0; i < bytes.size(); i++) {
        if (line.size() + 3 > kHexLineLimit) {
            *out += line + u"\\" + kCrLf;
            line = u"  ";
        }
        char digits[4];
        std::snprintf(digits, sizeof(digits), i + 1 < bytes.size() ? "%02x," : "%02x", bytes[i]);
        line += Ascii(digits);
    }
    *out += line + kCrLf;
}

}  // namespace

bool HasLineBreak(std::u16string_view text)
{
    return text.find_first_of(u"\r\n") != std::u16string_view::npos;
}

bool IsWellFormedUtf16(std::u16string_view text)
{
    return Utf8ToUtf16(Utf16ToUtf8(text)) == text;
}

std::u16string QuoteRegString(std::u16string_view text)
{
    std::u16string quoted = u"\"";
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"') {
            quoted += u'\\';
        }
        quoted += c;
    }
    return quoted + u"\"";
}

bool ReadQuoted(std::u16string_view text, size_t* position, std::u16string* out, std::string* problem)
{
    size_t i = *position;
    if (i >= text.size() || text[i] != u'"') {
        *problem = "a quoted string was expected";
        return false;
    }
    out->clear();
    for (i++; i < text.size(); i++) {
        char16_t c = text[i];
        if (c == u'"') {
            *position = i + 1;
            return true;
        }
        if (c == u'\\') {
            if (i + 1 >= text.size() || (text[i + 1] != u'\\' && text[i + 1] != u'"')) {
                *problem = "a backslash in a quoted string must be written \\\\ (or \\\" for a quote)";
                return false;
            }
            c = text[++i];
        }
        out->push_back(c);
    }
    *problem = "the quoted string has no closing quote";
    return false;
}

NTSTATUS ParseValueData(std::u16string_view text, RegFileFormat format, std::optional<KeyValue>* value,
                        std::string* problem)
{
    text = TrimBlanks(text);
    value->reset();
    if (text == u"-") {
        return STATUS_SUCCESS;
    }
    KeyValue parsed;
    if (!text.empty() && text.front() == u'"') {
        size_t position = 0;
        std::u16string string;
        if (!ReadQuoted(text, &position, &string, problem)) {
            return STATUS_INVALID_PARAMETER;
        }
        if (!TrimBlanks(text.substr(position)).empty()) {
            *problem = "unexpected text after the closing quote";
            return STATUS_INVALID_PARAMETER;
        }
        parsed.type = REG_SZ;
        parsed.data = BytesOf(string + u'\0');
    } else if (StartsWithNoCase(text, u"dword:")) {
        ULONGLONG number;
        if (!ReadHexNumber(text.substr(6), 8, &number)) {
            *problem = "dword: needs 1 to 8 hex digits";
            return STATUS_INVALID_PARAMETER;
        }
        parsed.type = REG_DWORD;
        for (int shift = 0; shift < 32; shift += 8) {
            parsed.data.push_back(static_cast<UCHAR>(number >> shift));
        }
    } else if (StartsWithNoCase(text, u"hex:") || StartsWithNoCase(text, u"hex(")) {
        size_t colon = text.find(u':');
        ULONGLONG type = REG_BINARY;
        if (text[3] == u'(') {
            size_t close = text.find(u')');
            if (close == std::u16string_view::npos || close + 1 != colon ||
                !ReadHexNumber(text.substr(4, close - 4), 8, &type)) {
                *problem = "hex(n): needs a type of 1 to 8 hex digits";
                return STATUS_INVALID_PARAMETER;
            }
        }
        parsed.type = static_cast<ULONG>(type);
        NTSTATUS status = ReadHexBytes(text.substr(colon + 1), &parsed.data, problem);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // REGEDIT4 files carry expandable and multi-strings as ANSI text; the registry holds UTF-16.
        if (format == RegFileFormat::Regedit4 && (parsed.type == REG_EXPAND_SZ || parsed.type == REG_MULTI_SZ)) {
            std::string ansi(parsed.data.begin(), parsed.data.end());
            parsed.data = BytesOf(Utf8ToUtf16(ansi));
        }
    } else {
        *problem = "value data must be a quoted string, dword:, hex: or hex(n):";
        return STATUS_INVALID_PARAMETER;
    }
    *value = std::move(parsed);
    return STATUS_SUCCESS;
}

NTSTATUS FormatValue(const KeyValue& value, RegFileFormat format, std::u16string* out, std::string* problem)
{
    if (HasLineBreak(value.name)) {
        *problem = "value name \"" + Utf16ToUtf8(value.name) + "\" holds a line break; a .reg file cannot carry it";
        return STATUS_NOT_SUPPORTED;
    }
    std::u16string prefix = (value.name.empty() ? std::u16string(u"@") : QuoteRegString(value.name)) + u"=";
    if (value.type == REG_SZ && IsQuotableString(value.data, format)) {
        std::u16string text = TextOf(value.data);
        text.pop_back();
        *out += prefix + QuoteRegString(text) + kCrLf;
        return STATUS_SUCCESS;
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        char digits[16];
        ULONG number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | ((ULONG)value.data[3] << 24);
        std::snprintf(digits, sizeof(digits), "dword:%08x", number);
        *out += prefix + Ascii(digits) + kCrLf;
        return STATUS_SUCCESS;
    }
    char tag[24];
    std::snprintf(tag, sizeof(tag), value.type == REG_BINARY ? "hex:" : "hex(%x):", value.type);
    const std::vector<UCHAR>* bytes = &value.data;
    std::vector<UCHAR> ansi;
    if (format == RegFileFormat::Regedit4 && (value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ)) {
        std::u16string text = TextOf(value.data);
        if (value.data.size() % 2 != 0 || !IsWellFormedUtf16(text)) {
            *problem = "value \"" + Utf16ToUtf8(value.name) + "\" is not well-formed UTF-16 text; REGEDIT4 cannot carry it";
            return STATUS_NOT_SUPPORTED;
        }
        std::string narrow = Utf16ToUtf8(text);
        ansi.assign(narrow.begin(), narrow.end());
        bytes = &ansi;
    }
    AppendWrappedHex(prefix + Ascii(tag), *bytes, out);
    return STATUS_SUCCESS;
}

}  // namespace vexsim
