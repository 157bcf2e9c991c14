// The store of split messages: one folder per message id under $TMP/parts, or, without TMP,
// under $FAXMAIL_ROOT/tmp/parts - never in the shared /tmp, where anyone could plant names.
//
// A folder name is made only of the characters that are safe in a file name on every system
// the gateway runs on, cut to an 8.3 name; an id can therefore never name a path outside the
// store. Reserved device names get an 'x' appended. The store's folders are private to the
// gateway's user (platform::CreatePrivateDirectory): a folder that is a symbolic link or
// belongs to someone else is refused, so that parts are never written to or read from a place
// another user controls. Called inside the receiver's work lock.
#pragma once

#include <string>
#include <string_view>

namespace faxmail::decode {

// The characters of an id that a folder name keeps.
inline constexpr std::string_view kAllowedNameCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_^$~!#%&{}@`'()";

// The folder that holds the per-id folders: $TMP (its first 200 characters), else the private
// folder $FAXMAIL_ROOT/tmp, followed by "/parts"; created when missing. A folder that cannot be
// created shows later, at the id's folder; one that is refused (a link, someone else's) is
// reported in the error-report form and gives an empty text.
std::string PartsFolder();

// The folder name for an id: its allowed characters, at most 11, with a '.' before the ninth;
// an 'x' appended when nothing is left or the name is a reserved device name.
std::string PartFolderName(std::string_view id);

// Creates (or takes, when it is the gateway's own) the folder for an id and returns its path
// with a trailing separator, or an empty text after reporting a failure in the error-report
// form.
std::string PartDirectory(std::string_view id);

// Removes the folder (path with or without its trailing separator); failures are ignored.
void RemovePartDirectory(std::string path);

// aux, con, nul, prn, com1..com4, lpt1..lpt3, in any letter case.
bool IsReservedDeviceName(std::string_view name);

}  // namespace faxmail::decode
