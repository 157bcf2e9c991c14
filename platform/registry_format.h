// The registry editor's export format: the text of a hive file and of faxmailreg's import and
// export. Pure text work over a Tree (registry_tree.h): no files, no locks, any thread that
// owns the tree.
//
// The writer gives REGEDIT4 text: "[HKEY_LOCAL_MACHINE\PATH]" sections depth first, subkeys in
// name order, "Name"="text" where that gives back the value's exact bytes, dword:0000001d for a
// 4-byte REG_DWORD, and hex: / hex(N): byte lists wrapped before column 76 otherwise. The
// parser takes that and what administrators and the registry editor write: a UTF-8 byte order
// mark, "Windows Registry Editor Version 5.00" with UTF-16LE string data, a UTF-16LE text with
// its byte order mark (characters below U+0100 only), CR LF or LF lines, ; comments, "-" forms
// that delete, HKLM for HKEY_LOCAL_MACHINE. Text written by the writer parses back to the same
// tree, and writes again to the same text.
//
// The parser loops over lines and holds nothing but its position; it never reads past the
// text. It fails at the first line it cannot take, with "line N: reason".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_tree.h"

namespace faxmail::platform::registry {

inline constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
inline constexpr std::string_view kRootShortName = "HKLM";

// "HKEY_LOCAL_MACHINE\PATH" for a key path ("HKEY_LOCAL_MACHINE" for the root's empty path).
std::string SectionName(std::string_view path);
// "HKLM\PATH" or "HKEY_LOCAL_MACHINE\PATH" (any letter case) -> "PATH"; "" for the bare root;
// nothing for another root.
std::optional<std::string_view> KeyPathOf(std::string_view fullName);

// The value of a hex digit, or -1.
int HexDigit(char c);
// Up to 8 hex digits, the whole of text.
bool ParseHexNumber(std::string_view text, std::uint32_t& out);

// REGEDIT4 text of a key (at its stored-case startPath) and everything below it. The hive's
// root gets a section only when it holds values.
std::string ExportText(const KeyNode& start, const std::string& startPath);

// REGEDIT4 text that, applied with ParseText, gives one key (at its stored-case path, created
// with its parents when missing) the values of set and removes the values named in removed;
// its other values stay as they are. The hive's change log is made of such texts.
std::string ValueChangeText(const std::string& path, const std::vector<const RegValue*>& set,
                            const std::vector<std::string>& removed);

// One "-" form of a text: a key deleted with everything below it ([-KEY], no value), or one
// value deleted from a key ("name"=-). key is the path below the root as written.
struct Removal {
  std::string key;
  std::optional<std::string> value;
};

// Applies the whole text to the tree: kErrorSuccess, or kErrorInvalidParameter with
// "line N: reason" in problem and the tree possibly partly changed (parse into a scratch tree
// first where that matters). With removals, each "-" form is also listed there in the text's
// order: parsed into an empty tree, the text is then the same as deleting every listed key and
// value first and writing the tree after (what the text sets after a deletion is in the tree,
// what it deletes after setting it is not), which is how a store that is not a Tree takes it.
long ParseText(std::string_view text, Tree& tree, std::string& problem,
               std::vector<Removal>* removals = nullptr);

}  // namespace faxmail::platform::registry
