// SID strings ("S-1-5-21-...-1001") and their binary form.
#include "sim/se/descriptor_format.h"
#include "sim/se/security.h"

#include <charconv>
#include <cstdio>

namespace vexsim {

namespace {

// Parses one decimal (or, where allowed, 0x-prefixed hexadecimal) number up to `max`.
bool ParseNumber(std::string_view text, bool allowHex, ULONG64 max, ULONG64* value)
{
    int base = 10;
    if (allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) {
        return false;
    }
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
    return error == std::errc{} && end == text.data() + text.size() && *value <= max;
}

}  // namespace

bool SidFromString(const std::string& text, SidBytes* sid)
{
    if (text.size() < 2 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') {
        return false;
    }
    std::vector<std::string_view> fields;
    std::string_view rest(text);
    rest.remove_prefix(2);
    for (size_t dash; (dash = rest.find('-')) != std::string_view::npos; rest.remove_prefix(dash + 1)) {
        fields.push_back(rest.substr(0, dash));
    }
    fields.push_back(rest);
    ULONG64 revision = 0;
    ULONG64 authority = 0;
    if (fields.size() < 2 || fields.size() - 2 > SID_MAX_SUB_AUTHORITIES ||
        !ParseNumber(fields[0], false, SID_REVISION, &revision) || revision != SID_REVISION ||
        !ParseNumber(fields[1], true, 0xFFFFFFFFFFFFull, &authority)) {
        return false;
    }
    SidBytes bytes(se::kSidHeaderLength + (fields.size() - 2) * sizeof(ULONG));
    bytes[offsetof(SID, Revision)] = SID_REVISION;
    bytes[offsetof(SID, SubAuthorityCount)] = static_cast<UCHAR>(fields.size() - 2);
    for (int i = 0; i < 6; i++) {
        bytes[offsetof(SID, IdentifierAuthority) + i] = static_cast<UCHAR>(authority >> (8 * (5 - i)));
    }
    for (size_t i = 2; i < fields.size(); i++) {
        ULONG64 value = 0;
        if (!ParseNumber(fields[i], false, 0xFFFFFFFFull, &value)) {
            return false;
        }
        se::Store<ULONG>(bytes.data() + se::kSidHeaderLength + (i - 2) * sizeof(ULONG), static_cast<ULONG>(value));
    }
    *sid = std::move(bytes);
    return true;
}

std::string SidToString(PSID sid)
{
    auto* bytes = static_cast<const UCHAR*>(sid);
    ULONG64 authority = 0;
    for (int i = 0; i < 6; i++) {
        authority = (authority << 8) | bytes[offsetof(SID, IdentifierAuthority) + i];
    }
    char number[32];
    if (authority <= 0xFFFFFFFFull) {
        std::snprintf(number, sizeof(number), "%llu", static_cast<unsigned long long>(authority));
    } else {
        std::snprintf(number, sizeof(number), "0x%llX", static_cast<unsigned long long>(authority));
    }
    std::string text = "S-1-" + std::string(number);
    UCHAR count = bytes[offsetof(SID, SubAuthorityCount)];
    for (UCHAR i = 0; i < count; i++) {
        text += "-" + std::to_string(se::Load<ULONG>(bytes + se::kSidHeaderLength + i * sizeof(ULONG)));
    }
    return text;
}

}  // namespace vexsim
