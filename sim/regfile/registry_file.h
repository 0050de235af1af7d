// Registry data in and out: import and export of the .reg text files that Windows' registry
// editor reads and writes. Host code only; tests and tools use it to set a machine's registry up
// and to look at it afterwards.
//
// Formats. "Windows Registry Editor Version 5.00" files are UTF-16LE with a byte-order mark;
// "REGEDIT4" files are ANSI, and the simulated machine's ANSI code page is UTF-8, so non-ASCII
// text in them is UTF-8. Lines end in CRLF (LF alone is read too). Either header is read in
// either encoding; the header, not the encoding, decides how hex(2) and hex(7) data is read: as
// UTF-16LE bytes after the version 5 header, as ANSI text converted to UTF-16 after REGEDIT4.
//
// Key names. [HKEY_LOCAL_MACHINE\...] is \REGISTRY\MACHINE\..., [HKEY_USERS\...] is
// \REGISTRY\USER\..., [HKEY_CURRENT_USER\...] is \REGISTRY\USER\<RegFileOptions::currentUserSid>
// and [HKEY_CLASSES_ROOT\...] is \REGISTRY\MACHINE\SOFTWARE\Classes\... (the machine's classes: a
// file cannot say which user's classes a merged view would show). Native names
// [\REGISTRY\...] are read and written as they are. Root names are matched without regard to case.
//
// Import goes straight to the registry's own model, as an offline edit of the hives by the
// machine's setup would: no callback sees it, so a loaded driver is not shown the setup of the
// machine it runs on, and no handle or key object is made. Keys it creates inherit their parent's
// security as if the System process had created them; a new key under a volatile parent is
// volatile (nothing else may live there). Symbolic-link keys on a key's path are followed, as an
// open by name follows them. [-key] deletes the key with everything below it (a missing key is no
// error; a link key named last is deleted itself, not its target); "name"=- deletes one value (a
// missing value is no error). Hive roots and the keys above them cannot be created or deleted.
//
// Errors. Every function returns an NTSTATUS and, on failure, fills a RegFileError with the line
// of the input it concerns and a message. An import that fails changes nothing: a malformed file
// (STATUS_INVALID_PARAMETER: bad syntax, text that is not valid UTF-8, a name component over 255
// characters) is refused before any change is made, and a well-formed file that asks for what the
// registry cannot do (a new hive, a key too deep or with too long a name, a hive root to delete, a
// dangling link) has the changes of the lines before it undone. Unlike the registry editor, which
// keeps what it imported before a failing line, a machine is then either set up as the file says
// or not at all. Messages cut long names after 60 characters.
//
// Export writes a key and everything below it in the registry editor's order: the key's header,
// its values in storage order, then its subkeys in sorted order, each block followed by a blank
// line; hex data is wrapped within 80 columns. Link keys are left out (a .reg file cannot say that
// a key is a link; their targets are exported where they live, and the boot lays links out).
// Importing an export gives back the same keys and values: data a quoted string cannot carry
// exactly (no terminating NUL, an embedded NUL, a line break, a lone surrogate in REGEDIT4) is
// written as hex(1), and a DWORD of any size but four bytes as hex(4). REGEDIT4 carries hex(2)
// and hex(7) data as text, so data of those types that is not well-formed UTF-16 cannot be
// exported in it: STATUS_NOT_SUPPORTED, naming the value (version 5 carries it). Nor can either
// format carry a key or value name with a line break in it: STATUS_NOT_SUPPORTED as well.
#pragma once

#include "platform/platform.h"

#include <span>
#include <string>
#include <vector>

namespace vexsim {

enum class RegFileFormat {
    Version5,  // "Windows Registry Editor Version 5.00", UTF-16LE with a byte-order mark
    Regedit4,  // "REGEDIT4", ANSI (UTF-8)
};

struct RegFileOptions {
    std::u16string currentUserSid;  // what HKEY_CURRENT_USER stands for; empty refuses the name
};

struct RegFileError {
    size_t line = 0;       // 1-based line of the input; 0 for the file as a whole or an export
    std::string message;   // "line 4: ..." when a line is known
};

// Applies a .reg file to the running machine's registry.
[[nodiscard]] NTSTATUS ImportRegistryFile(std::span<const UCHAR> file, const RegFileOptions& options,
                                          RegFileError* error);

// Writes the key `keyName` (a .reg key name or a native \REGISTRY name) and everything below it.
// STATUS_OBJECT_NAME_NOT_FOUND when the key does not exist.
[[nodiscard]] NTSTATUS ExportRegistryFile(std::u16string_view keyName, RegFileFormat format,
                                          const RegFileOptions& options, std::vector<UCHAR>* file,
                                          RegFileError* error);

// The name a .reg header gives a native key name (\REGISTRY\...): HKEY_CURRENT_USER\... for the
// keys of options.currentUserSid, HKEY_USERS\... for other users', HKEY_LOCAL_MACHINE\... for the
// machine's (its classes included: HKEY_CLASSES_ROOT would not say whose classes they are), and
// the native name itself for the rest (\REGISTRY\A, \REGISTRY\WC).
std::u16string RegFileKeyName(std::u16string_view nativeName, const RegFileOptions& options);

}  // namespace vexsim
