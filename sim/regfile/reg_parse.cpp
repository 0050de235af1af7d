// Reading a decoded .reg file into the changes it asks for, each with its line, so that a file
// is checked whole before anything of it is applied.
#include "sim/regfile/regfile.h"

#include "sim/rtl/utf.h"

namespace vexsim {

namespace {

// Whether the value line's data is hex: only hex data is wrapped over several lines. A string
// ending in a backslash (unterminated, or a path) never takes in the line after it.
bool HasHexData(std::u16string_view text)
{
    size_t position = 0;
    std::u16string name;
    std::string problem;
    if (text.front() == u'@') {
        position = 1;
    } else if (!ReadQuoted(text, &position, &name, &problem)) {
        return false;
    }
    std::u16string_view rest = TrimBlanks(text.substr(position));
    if (rest.empty() || rest.front() != u'=') {
        return false;
    }
    rest = TrimBlanks(rest.substr(1));
    return rest.size() >= 3 && SameName(rest.substr(0, 3), u"hex");
}

// The value line starting at lines[*index] with its continuation lines when its data is hex (a
// trailing backslash continues a line; the next line's leading blanks are dropped). Leaves *index
// on its last line.
std::u16string JoinContinuedLines(const std::vector<RegLine>& lines, size_t* index)
{
    std::u16string text(TrimBlanks(lines[*index].text));
    if (!HasHexData(text)) {
        return text;
    }
    while (!text.empty() && text.back() == u'\\' && *index + 1 < lines.size()) {
        text.pop_back();
        text += TrimBlanks(lines[++*index].text);
    }
    return text;
}

// "name"=data or @=data.
NTSTATUS ParseValueLine(std::u16string_view text, RegFileFormat format, RegChange* change, std::string* problem)
{
    size_t position = 0;
    std::u16string name;
    if (text.front() == u'@') {
        position = 1;
    } else if (!ReadQuoted(text, &position, &name, problem)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (name.size() > kMaxValueNameChars) {
        *problem = "the value name is longer than 16383 characters";
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string_view rest = TrimBlanks(text.substr(position));
    if (rest.empty() || rest.front() != u'=') {
        *problem = "\"=\" expected after the value name";
        return STATUS_INVALID_PARAMETER;
    }
    std::optional<KeyValue> value;
    NTSTATUS status = ParseValueData(rest.substr(1), format, &value, problem);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    change->kind = value.has_value() ? RegChange::Kind::SetValue : RegChange::Kind::DeleteValue;
    change->value = value.value_or(KeyValue{});
    change->value.name = std::move(name);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ParseRegFile(const std::vector<RegLine>& lines, const RegFileOptions& options,
                      std::vector<RegChange>* changes, RegFileError* error)
{
    std::u16string_view header = lines.empty() ? std::u16string_view() : TrimBlanks(lines.front().text);
    RegFileFormat format;
    if (header == kVersion5Header) {
        format = RegFileFormat::Version5;
    } else if (header == kRegedit4Header) {
        format = RegFileFormat::Regedit4;
    } else {
        return FailRegFile(error, STATUS_INVALID_PARAMETER, 1,
                           "the file must begin with \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    }
    changes->clear();
    std::optional<RegChange::Kind> keyKind;  // of the last key header
    for (size_t index = 1; index < lines.size(); index++) {
        size_t number = lines[index].number;
        std::u16string_view text = TrimBlanks(lines[index].text);
        if (text.empty() || text.front() == u';') {
            continue;
        }
        RegChange change{RegChange::Kind::OpenKey, number, {}, {}};
        std::string problem;
        if (text.front() == u'[') {
            if (text.back() != u']') {
                return FailRegFile(error, STATUS_INVALID_PARAMETER, number, "a key header must end with \"]\"");
            }
            std::u16string_view name = text.substr(1, text.size() - 2);
            if (name.starts_with(u'-')) {
                change.kind = RegChange::Kind::DeleteKey;
                name.remove_prefix(1);
            }
            NTSTATUS status = NativeComponentsOf(name, options, &change.keyPath, &problem);
            if (!NT_SUCCESS(status)) {
                return FailRegFile(error, status, number, problem);
            }
            keyKind = change.kind;
            changes->push_back(std::move(change));
            continue;
        }
        if (!keyKind.has_value()) {
            return FailRegFile(error, STATUS_INVALID_PARAMETER, number, "a value comes before any key header");
        }
        if (keyKind == RegChange::Kind::DeleteKey) {
            return FailRegFile(error, STATUS_INVALID_PARAMETER, number, "a value cannot follow a key deletion");
        }
        std::u16string joined = JoinContinuedLines(lines, &index);
        NTSTATUS status = ParseValueLine(joined, format, &change, &problem);
        if (!NT_SUCCESS(status)) {
            return FailRegFile(error, status, number, problem);
        }
        changes->push_back(std::move(change));
    }
    return STATUS_SUCCESS;
}

}  // namespace vexsim
