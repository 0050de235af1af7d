// Export of a key and everything below it as a .reg file, in the registry editor's order.
#include "sim/regfile/regfile.h"

#include "sim/rtl/utf.h"

namespace vexsim {

namespace {

NTSTATUS AppendKey(const KeyNode& node, const std::u16string& name, RegFileFormat format, std::u16string* text,
                   std::string* problem)
{
    if (HasLineBreak(node.name)) {
        *problem = "key \"" + Utf16ToUtf8(name) + "\" holds a line break in its name; a .reg file cannot carry it";
        return STATUS_NOT_SUPPORTED;
    }
    *text += u"\r\n[" + name + u"]\r\n";
    for (const KeyValue& value : node.values) {
        NTSTATUS status = FormatValue(value, format, text, problem);
        if (!NT_SUCCESS(status)) {
            *problem = "key \"" + Utf16ToUtf8(name) + "\": " + *problem;
            return status;
        }
    }
    for (const auto& child : node.subkeys) {
        if (child->isLink) {
            continue;
        }
        NTSTATUS status = AppendKey(*child, name + u"\\" + child->name, format, text, problem);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ExportRegistryFile(std::u16string_view keyName, RegFileFormat format, const RegFileOptions& options,
                            std::vector<UCHAR>* file, RegFileError* error)
{
    std::u16string name(keyName);
    if (name.size() > 1 && name.back() == kPathSeparator) {
        name.pop_back();
    }
    std::vector<std::u16string> components;
    std::string problem;
    NTSTATUS status = NativeComponentsOf(name, options, &components, &problem);
    if (!NT_SUCCESS(status)) {
        return FailRegFile(error, status, 0, problem);
    }
    std::u16string text = (format == RegFileFormat::Version5 ? kVersion5Header : kRegedit4Header) + u"\r\n";
    {
        std::lock_guard lock(TreeLock());
        std::shared_ptr<KeyNode> node;
        status = WalkRegistryPath(components, nullptr, &node, &problem);
        if (NT_SUCCESS(status)) {
            status = AppendKey(*node, name, format, &text, &problem);
        }
    }
    if (!NT_SUCCESS(status)) {
        return FailRegFile(error, status, 0, problem);
    }
    *file = EncodeRegText(text + u"\r\n", format);
    return STATUS_SUCCESS;
}

}  // namespace vexsim
