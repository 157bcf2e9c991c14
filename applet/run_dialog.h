// The applet's one export, as its hosts call it (found by name with the system's loader).
//
// RunDialog takes four pointer-sized arguments that belong to the host and are not used; it
// shows the configuration sheet modally on the calling thread and returns when the sheet has
// closed. It creates the toolkit's application object only when the host has none, and
// destroys everything it made before it returns, so a host may call it, unload the applet and
// load it again. Its return value carries nothing (0).
#pragma once

#include <cstdint>

extern "C" {
using RunDialogFunction = std::intptr_t (*)(void*, void*, void*, void*);
std::intptr_t RunDialog(void* window, void* message, void* first, void* second);
}

// The symbol a host looks up.
inline constexpr char kRunDialogSymbol[] = "RunDialog";
