// CreateAutoFile: a new, empty scratch file whose stem no other file of the folder uses.
//
// Names are "~" + prefix (4 characters) + 3 characters + "." + extension (0 to 3 characters).
// Candidates: decimal 000..039 in order; then 21 decimal ones from a clock-chosen start in
// 040..999; then base 36 (0-9, A-Z) from a clock-chosen start in 00A..ZZZ until all are tried.
// A stem is taken when a regular, not hidden file of that stem with any extension exists
// (letter case ignored). The exclusive create decides between concurrent callers; a caller
// that sees a second file of its stem right after creating deletes its own and moves on.
// No locks, no log; any thread or process.
#pragma once

#include <string>
#include <string_view>

namespace faxmail {

enum AutoFileResult : int {
  kAutoFileCreated = 0,
  kAutoFileBadArguments = 1,
  kAutoFileNoHandles = 2,
  kAutoFileInvalidPath = 3,
  kAutoFileOutOfNames = 4,
  kAutoFileOtherError = 5,
};

class FolderNames;
class SpareFiles;

// folder must end with the separator; name receives the new file's name without the folder.
// spares: where the new file is taken from when one is kept there (the exclusive create is then
// a move that never replaces a file); null, or none kept: a new file.
// names: the folder's names kept in memory, for stem checks without a listing (null: listings).
int CreateAutoFile(std::string_view prefix, std::string_view extension, const std::string& folder,
                   std::string& name, SpareFiles* spares = nullptr, FolderNames* names = nullptr);

// The candidate's three characters: decimal below 1000 in phases 1 and 2, base 36 in phase 3.
std::string AutoFileNumber(unsigned number, bool base36);

}  // namespace faxmail
