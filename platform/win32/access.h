// Access rules of files and folders on Windows, through their security descriptors: what the
// other backend does with the modes 0600 and 0700 and with a file's owner and permission bits.
//
// A private object gets a protected DACL (nothing inherited from its folder) that grants full
// access to its owner, SYSTEM and the Administrators group, and to nobody else; a folder's
// entries pass it on to what is created inside. Reading the rules back answers the questions
// of FileAccess from the owner and the DACL: "others" are every trustee but those three. The
// backend's files include this header only; each function returns a system error number (0 on
// success) and sets the last error on failure.
#pragma once

#include <string>

#include "platform/file.h"
#include "platform/win32/windows_api.h"

namespace faxmail::platform::win32 {

// Gives the open file the private DACL. The handle needs no rights of its own: the rules are
// changed through a second handle that asks for them alone (and so meets no share mode).
long RestrictHandleToOwner(HANDLE handle);
// Creates a folder with the private DACL from the start (no moment in which others may enter
// it); the system's error when it cannot (kErrorAlreadyExists when the name is taken).
long CreatePrivateFolder(const std::string& path);
// Whether the folder's owner is the user this process runs as (or the owner its token gives
// to what it creates, the Administrators group for an elevated administrator).
long FolderOwnedByProcessUser(const std::string& path, bool& owned);
// The owner and the rules of an open file, as FileAccess tells them (regularFile aside).
long QueryHandleAccess(HANDLE handle, FileAccess& out);

}  // namespace faxmail::platform::win32
