// Reading a secret from standard input: without echo when it is a terminal, else one line.
// For the administrator's tools; one thread at a time.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace faxmail::platform {

// Whether standard input is a terminal.
bool StdinIsTerminal();

// One line from standard input, without its line end (LF, or CR LF). On a terminal the prompt
// goes to standard error and the typed characters are not echoed (echo is restored on every
// path). None at end of input before any line end and any character, on a read error, and
// for a line longer than limit (the rest of that line is not read).
std::optional<std::string> ReadSecretLine(std::string_view prompt, std::size_t limit);

}  // namespace faxmail::platform
