// The pieces of .reg import and export: the text layer (bytes to lines and back), the parser
// (lines to changes), key names (.reg roots to native paths) and value data in text form.
// Host code only.
#pragma once

#include "sim/cm/registry.h"
#include "sim/regfile/registry_file.h"

#include <optional>
#include <unordered_map>

namespace vexsim {

inline const std::u16string kVersion5Header = u"Windows Registry Editor Version 5.00";
inline const std::u16string kRegedit4Header = u"REGEDIT4";

// One line of a decoded file, without its line end.
struct RegLine {
    size_t number;        // 1-based
    std::u16string text;
};

// ---- text layer (reg_text.cpp)
// Decodes the file: UTF-16LE after a byte-order mark, UTF-8 otherwise (a UTF-8 byte-order mark
// is skipped). Splits at CRLF or LF.
[[nodiscard]] NTSTATUS DecodeRegText(std::span<const UCHAR> file, std::vector<RegLine>* lines, RegFileError* error);
// Encodes text whose lines already end in CRLF: a byte-order mark and UTF-16LE for version 5,
// UTF-8 for REGEDIT4.
std::vector<UCHAR> EncodeRegText(std::u16string_view text, RegFileFormat format);
// The text without its leading and trailing blanks (spaces and tabs).
std::u16string_view TrimBlanks(std::u16string_view text);
// The text for a message, cut after 60 characters with the count of the rest: a name of 40,000
// characters must not flood the message.
std::string Excerpt(std::u16string_view text);
// Fills the error and returns status; line 0 leaves the message without a line number.
NTSTATUS FailRegFile(RegFileError* error, NTSTATUS status, size_t line, const std::string& message);

// ---- key names (reg_key_names.cpp)
// The components below \REGISTRY of a key name as a .reg header writes it.
[[nodiscard]] NTSTATUS NativeComponentsOf(std::u16string_view keyName, const RegFileOptions& options,
                                          std::vector<std::u16string>* components, std::string* problem);

// ---- what an import changed (reg_import_journal.cpp); callers hold TreeLock() throughout
// An import either makes all its changes or none: every change is recorded as it is made, and a
// failure puts the tree back as it was, values, subkeys and last-write times included. Deleted
// subtrees are only cut out until the import commits, so that they can go back whole.
class RegImportJournal {
public:
    // Before the node's values, subkeys, class or last-write time change.
    void Keep(KeyNode& node);
    void Created(KeyNode& parent, std::shared_ptr<KeyNode> child);
    // Cuts the subtree out of its parent; it is deleted when the import commits.
    void CutOut(KeyNode& parent, std::shared_ptr<KeyNode> child);
    void Commit();
    void RollBack();

private:
    struct KeptState {
        KeyNode* node;
        ValueList values;
        LONGLONG lastWriteTime;
        std::u16string className;
    };
    struct TreeChange {
        bool created;                       // else cut out
        KeyNode* parent;
        std::shared_ptr<KeyNode> child;
    };
    std::vector<KeptState> kept_;
    std::unordered_map<KeyNode*, size_t> keptIndex_;
    std::vector<TreeChange> changes_;
};

// ---- walking the tree by name (reg_key_walk.cpp); callers hold TreeLock()
// The key at components below \REGISTRY, following symbolic links as an open by name does. With
// a journal (create), missing keys are made and recorded in it (inheriting their parent's security as the System process's
// would, volatile under a volatile parent); hive roots and the levels above them are never made.
// STATUS_OBJECT_NAME_NOT_FOUND for a missing key without create; problem says what went wrong.
[[nodiscard]] NTSTATUS WalkRegistryPath(const std::vector<std::u16string>& components, RegImportJournal* create,
                                        std::shared_ptr<KeyNode>* node, std::string* problem);

// ---- changes a file asks for (reg_parse.cpp)
struct RegChange {
    enum class Kind { OpenKey, DeleteKey, SetValue, DeleteValue };
    Kind kind;
    size_t line;                           // where the change is written
    std::vector<std::u16string> keyPath;   // OpenKey, DeleteKey: components below \REGISTRY
    KeyValue value;                        // SetValue: all of it; DeleteValue: its name
};
[[nodiscard]] NTSTATUS ParseRegFile(const std::vector<RegLine>& lines, const RegFileOptions& options,
                                    std::vector<RegChange>* changes, RegFileError* error);

// ---- value data (reg_value_text.cpp)
// Reads what follows "name"= : a quoted string, dword:, hex: or hex(n): data. An empty optional
// means "delete the value" (-). On failure, problem says what is wrong.
[[nodiscard]] NTSTATUS ParseValueData(std::u16string_view text, RegFileFormat format,
                                      std::optional<KeyValue>* value, std::string* problem);
// Appends one value's line(s), ending in CRLF, as the registry editor writes them.
[[nodiscard]] NTSTATUS FormatValue(const KeyValue& value, RegFileFormat format, std::u16string* out,
                                   std::string* problem);
// A quoted name or string with \\ and \" escapes.
std::u16string QuoteRegString(std::u16string_view text);
// Reads a quoted name or string that starts at *position and moves past its closing quote.
[[nodiscard]] bool ReadQuoted(std::u16string_view text, size_t* position, std::u16string* out, std::string* problem);
// Does the text hold a line break, which no line of a .reg file can carry?
bool HasLineBreak(std::u16string_view text);
// Is the text well-formed UTF-16 (no lone surrogates)?
bool IsWellFormedUtf16(std::u16string_view text);

}  // namespace vexsim
