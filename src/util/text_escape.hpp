// C-style escapes for showing text and bytes on a console.
#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// Writes \r, \n, \t, \\ and \" as such and other control characters as \xNN. Bytes from 0x7F
// up are escaped too when `asBytes` (raw line bytes), and kept when the text is UTF-8.
std::string escapeC(std::string_view text, bool asBytes);

}  // namespace vantrel
