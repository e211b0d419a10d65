// C-style escapes for showing text and bytes on a console.
#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// Writes \r, \n, \t, \\ and \" as such and other control characters as \xNN. Bytes from 0x7F
// up are escaped too when `asBytes` (raw line bytes). Otherwise the text is taken as UTF-8:
// its characters are kept, but the C1 controls (U+0080 to U+009F, "\xc2\x9b") and bytes that
// are not UTF-8 are escaped, so that nothing in it acts on a terminal.
std::string escapeC(std::string_view text, bool asBytes);

}  // namespace vantrel
