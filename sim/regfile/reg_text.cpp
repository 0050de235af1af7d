// The text layer of .reg files: bytes to numbered lines on the way in, text to bytes on the way
// out.
#include "sim/regfile/regfile.h"

#include "sim/rtl/utf.h"

#include <algorithm>

namespace vexsim {

std::u16string_view TrimBlanks(std::u16string_view text)
{
    while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == u' ' || text.back() == u'\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string Excerpt(std::u16string_view text)
{
    constexpr size_t kShown = 60;
    if (text.size() <= kShown) {
        return Utf16ToUtf8(text);
    }
    return Utf16ToUtf8(text.substr(0, kShown)) + "... (" + std::to_string(text.size()) + " characters)";
}

NTSTATUS FailRegFile(RegFileError* error, NTSTATUS status, size_t line, const std::string& message)
{
    if (error != nullptr) {
        error->line = line;
        error->message = line == 0 ? message : "line " + std::to_string(line) + ": " + message;
    }
    return status;
}

NTSTATUS DecodeRegText(std::span<const UCHAR> file, std::vector<RegLine>* lines, RegFileError* error)
{
    std::u16string text;
    if (file.size() >= 2 && file[0] == 0xFF && file[1] == 0xFE) {
        if (file.size() % 2 != 0) {
            return FailRegFile(error, STATUS_INVALID_PARAMETER, 0,
                               "the UTF-16 file ends in the middle of a character");
        }
        for (size_t i = 2; i < file.size(); i += 2) {
            text.push_back(static_cast<char16_t>(file[i] | (file[i + 1] << 8)));
        }
    } else {
        size_t start = file.size() >= 3 && file[0] == 0xEF && file[1] == 0xBB && file[2] == 0xBF ? 3 : 0;
        std::string_view narrow(reinterpret_cast<const char*>(file.data()) + start, file.size() - start);
        size_t badOffset = 0;
        if (!Utf8ToUtf16Strict(narrow, &text, &badOffset)) {
            size_t line = 1 + std::count(narrow.begin(), narrow.begin() + static_cast<std::ptrdiff_t>(badOffset), '\n');
            return FailRegFile(error, STATUS_INVALID_PARAMETER, line,
                               "the text is not valid UTF-8 (byte " + std::to_string(start + badOffset) + " of the file)");
        }
    }
    lines->clear();
    size_t begin = 0;
    for (size_t number = 1; begin < text.size(); number++) {
        size_t end = text.find(u'\n', begin);
        size_t next = end == std::u16string::npos ? text.size() : end + 1;
        if (end == std::u16string::npos) {
            end = text.size();
        }
        if (end > begin && text[end - 1] == u'\r') {
            end--;
        }
        lines->push_back(RegLine{number, text.substr(begin, end - begin)});
        begin = next;
    }
    return STATUS_SUCCESS;
}

std::vector<UCHAR> EncodeRegText(std::u16string_view text, RegFileFormat format)
{
    std::vector<UCHAR> bytes;
    if (format == RegFileFormat::Regedit4) {
        std::string narrow = Utf16ToUtf8(text);
        bytes.assign(narrow.begin(), narrow.end());
        return bytes;
    }
    bytes.reserve(2 + text.size() * 2);
    bytes.push_back(0xFF);
    bytes.push_back(0xFE);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<UCHAR>(unit & 0xFF));
        bytes.push_back(static_cast<UCHAR>(unit >> 8));
    }
    return bytes;
}

}  // namespace vexsim
