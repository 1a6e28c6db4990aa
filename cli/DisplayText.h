#pragma once
// Texts from the command line, the cloud or a path shown to a person: control characters and bytes
// that are not UTF-8 are escaped, so a message is always readable and one line.
#include <cstdint>
#include <string>

namespace cli {

// Printable text stays; a tab becomes a space, a backslash "\\", every other byte of a control
// character or of an invalid UTF-8 sequence becomes "\xNN".
std::string EscapeForDisplay(const std::string& text);
// True when the text is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(const std::string& text);

// A size for people: "512 B", "1.5 GiB".
std::string ShownBytes(uint64_t bytes);

}  // namespace cli
